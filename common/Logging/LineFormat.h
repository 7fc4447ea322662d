// The fixed text forms of the log: severity tags, the line layout, the
// elapsed-time text of tracing scopes and UTF-16LE encoding of lines.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/Logging/Log.h"
#include "platform/os/Clock.h"

namespace cvn::log {

inline constexpr int kMaxIndentLevel = 30;

/// "NONE" ... "DBG3"; "" for values of 8 or more.
const char* SeverityTag(uint32_t severity) noexcept;
/// The severity whose tag equals the text without regard to case; nothing for any other text.
std::optional<Severity> ParseSeverity(std::string_view text) noexcept;

struct LineFields {
    os::CalendarTime time;
    uint32_t ticksBelowMs = 0;  ///< 100-ns units below the millisecond
    uint32_t severity = 0;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    std::string_view sourcePath;
    int line = 0;
    int indent = 0;  ///< nesting level, clamped to 0..30
};

/// Appends one line "date time.7digits | TAG  |  pid   tid | file:line      | <indent>text\r\n".
void AppendLogLine(std::string& out, const LineFields& fields, std::string_view text);

/// The part of a path after its last "\" or "/".
std::string_view SourceFileName(std::string_view path) noexcept;

/// " [1 234.567 ms]" for 1234567 microseconds: whole milliseconds grouped by three with blanks.
std::string FormatElapsed(int64_t microseconds);

/// Appends the UTF-16LE bytes of UTF-8 text (no byte order mark); invalid bytes become U+FFFD.
void AppendUtf16Le(std::string& out, std::string_view utf8);

}  // namespace cvn::log
