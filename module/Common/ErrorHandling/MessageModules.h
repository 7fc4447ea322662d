// The two lists of message modules (primary and fallback, 5 slots each) that the
// message lookup asks besides the system table. They are filled once, at the
// first lookup, by the loader; until modules are configured they stay empty.
// Thread safety: filled once under the static initialisation, read-only afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

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

}  // namespace corvane
