// A message table file: the texts of message ids, one per line, in the format
// described in docs/message-tables.md ("CORVANE-MESSAGE-TABLE 1" header, then
// "<id> <text>" lines).
// Thread safety: immutable after loading; lookups may run on any thread at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "common/ErrorHandling/MessageModules.h"

namespace cvn {

class MessageTable final : public IMessageSource {
public:
    /// 0 and the table, or a Win32 error: ERROR_MOD_NOT_FOUND (126) for a missing file,
    /// ERROR_ACCESS_DENIED for an unreadable one, ERROR_INVALID_DATA for a malformed one (the
    /// offending line is named on the debug output).
    static uint32_t Load(const std::string& path, std::unique_ptr<MessageTable>& table);
    /// The same from text in memory; the name is used in diagnostics only.
    static uint32_t Parse(std::string_view text, const std::string& name, std::unique_ptr<MessageTable>& table);

    std::optional<std::string> FindMessage(uint32_t messageId) const override;
    size_t Size() const noexcept { return m_texts.size(); }

private:
    std::map<uint32_t, std::string> m_texts;
};

}  // namespace cvn
