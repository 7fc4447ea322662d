// The two lists of message modules (primary and fallback, 5 slots each) that the
// message lookup asks besides the system table, and their loading from the
// message table files named by the "ErrorHandling" settings.
// Thread safety: filled once under the static initialisation, read-only afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace cvn {

/// One loaded message module: texts by message id.
class IMessageSource {
public:
    virtual ~IMessageSource() = default;
    /// The module's text for the id, or nothing when it has none.
    virtual std::optional<std::string> FindMessage(uint32_t messageId) const = 0;
};

/// At most kSlots modules, in load order.
class MessageModuleList {
public:
    static constexpr size_t kSlots = 5;

    /// False (and the module is dropped) when all slots are taken or the module is null.
    bool Add(std::unique_ptr<IMessageSource> module);
    size_t Size() const noexcept { return m_count; }
    const IMessageSource& operator[](size_t index) const { return *m_modules[index]; }

private:
    std::array<std::unique_ptr<IMessageSource>, kSlots> m_modules;
    size_t m_count = 0;
};

struct MessageModuleLists {
    MessageModuleList primary;
    MessageModuleList fallback;
};

/// The process's lists, loaded on the first call; never fails (a module that cannot be loaded is left out).
const MessageModuleLists& GetMessageModules();

/// Fills the lists from the settings values (names split at ",", "|" and ";"); a bare primary name
/// is looked for in moduleDirectory. Every file that cannot be loaded, and every name beyond the
/// fifth, gets an ERR line "Loading errormsg module '<name>' failed: ..." and is left out.
void LoadMessageModules(MessageModuleLists& lists, const std::string& primaryNames,
                        const std::string& fallbackNames, const std::string& moduleDirectory) noexcept;

}  // namespace cvn
