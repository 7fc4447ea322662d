// The module's logging front end: severities, the one-line logging macro and
// the tracing scope macro. A line above the cached MaxSeverity costs one inline
// atomic load and comparison; only a line that may be written takes the
// out-of-line check that re-reads stale settings. A logger never throws into its caller.
// Thread safety: every function may be called from any thread at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/Helpers/MethodName.h"
#include "corvane/Platform.h"

namespace cvn {
class HRX;
class QxNodePtr;
struct ILogSink;
}  // namespace cvn

namespace cvn::log {

enum class Severity : uint32_t { None = 0, Crit = 1, Err = 2, Warn = 3, Info = 4, Dbg = 5, Dbg2 = 6, Dbg3 = 7 };

namespace detail {
/// The cached MaxSeverity (never below Dbg), raised to Dbg3 while the settings must be read again;
/// a line above it is off. The settings age only while lines at or below it are checked: a changed
/// MaxSeverity takes effect at the next DBG (or more severe) line after the refresh interval.
extern std::atomic<uint32_t> g_severityCeiling;
/// Re-reads stale settings and compares with the configured MaxSeverity.
bool IsEnabledChecked(Severity severity) noexcept;
}  // namespace detail

/// True when 1 <= severity <= the configured MaxSeverity.
inline bool IsEnabled(Severity severity) noexcept
{
    const uint32_t value = static_cast<uint32_t>(severity);
    return value - 1u < detail::g_severityCeiling.load(std::memory_order_relaxed) &&
           detail::IsEnabledChecked(severity);
}
/// Formats one line and hands it to the given sink, or to every registered sink (the module's own
/// file sink is registered on the first call). Drops the line when it cannot be formatted.
void Write(Severity severity, std::string_view text, const char* file, int line, ILogSink* sink = nullptr) noexcept;

/// The calling thread's tracing depth (not clamped).
int CurrentIndent() noexcept;

/// A node written into a log message: its masked node text at the given depth.
struct NodeText {
    const QxNodePtr& node;
    int32_t depth = 0x7FFFFFFF;
};

/// Builds one message from pieces; a piece that throws marks the message with "... (***EXCEPTION***)".
class MessageBuilder {
public:
    MessageBuilder& operator<<(std::string_view text);
    MessageBuilder& operator<<(const char* text) { return *this << std::string_view(text ? text : "(null)"); }
    MessageBuilder& operator<<(const std::string& text) { return *this << std::string_view(text); }
    MessageBuilder& operator<<(char c);
    MessageBuilder& operator<<(bool value);
    MessageBuilder& operator<<(int32_t value);
    MessageBuilder& operator<<(uint32_t value);
    MessageBuilder& operator<<(int64_t value);
    MessageBuilder& operator<<(uint64_t value);
    MessageBuilder& operator<<(long long value) { return *this << static_cast<int64_t>(value); }
    MessageBuilder& operator<<(unsigned long long value) { return *this << static_cast<uint64_t>(value); }
    MessageBuilder& operator<<(double value);
    MessageBuilder& operator<<(const void* pointer);
    MessageBuilder& operator<<(const GUID& guid);  ///< braced upper-case form
    MessageBuilder& operator<<(const HRX& error);  ///< its error text
    /// Any enum or integer type not listed above, as its number.
    template <class T, class = std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>>>
    MessageBuilder& operator<<(T value)
    {
        if constexpr (std::is_enum_v<T>)
            return *this << static_cast<int64_t>(static_cast<std::underlying_type_t<T>>(value));
        else if constexpr (std::is_signed_v<T>)
            return *this << static_cast<int64_t>(value);
        else
            return *this << static_cast<uint64_t>(value);
    }
    MessageBuilder& operator<<(const QxNodePtr& node);
    MessageBuilder& operator<<(const NodeText& node);

    void MarkException() noexcept;
    void Write(Severity severity, const char* file, int line) noexcept;
    const std::string& Text() const noexcept { return m_text; }

private:
    std::string m_text;
    bool m_exception = false;
};

/// Logs "Entering: " on construction and "Exiting: " or "EXCEPTION at: " with the elapsed time.
class TraceScope {
public:
    TraceScope(Severity severity, Severity exceptionSeverity, const char* name, const char* file, int line,
               ILogSink* sink = nullptr) noexcept;
    TraceScope(Severity severity, Severity exceptionSeverity, std::string name, const char* file, int line,
               ILogSink* sink = nullptr) noexcept;
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    void Enter() noexcept;

    Severity m_severity;
    Severity m_exceptionSeverity;
    std::string_view m_name;  ///< a literal, or m_ownedName
    std::string m_ownedName;
    const char* m_file;
    int m_line;
    ILogSink* m_sink;
    int64_t m_start = 0;
    int m_indentAdded = 0;
    int m_uncaughtAtEntry = 0;
};

}  // namespace cvn::log

#define CV_LOG_CONCAT_INNER(a, b) a##b
#define CV_LOG_CONCAT(a, b) CV_LOG_CONCAT_INNER(a, b)

/// CV_LOG(Err, "Unknown request: " << request); the message is built only when enabled.
#define CV_LOG(severity, message)                                                                    \
    do {                                                                                             \
        if (::cvn::log::IsEnabled(::cvn::log::Severity::severity)) {                         \
            ::cvn::log::MessageBuilder cvLogBuilder_;                                            \
            try {                                                                                    \
                cvLogBuilder_ << message;                                                            \
            } catch (...) {                                                                          \
                cvLogBuilder_.MarkException();                                                       \
            }                                                                                        \
            cvLogBuilder_.Write(::cvn::log::Severity::severity, __FILE__, __LINE__);             \
        }                                                                                            \
    } while (0)

/// CV_TRACE(Dbg, "Corvane::CCorvaneGate::ProcessRequest"); entry and exception severity alike.
#define CV_TRACE(severity, name)                                                                     \
    ::cvn::log::TraceScope CV_LOG_CONCAT(cvTraceScope_, __LINE__)(                               \
        ::cvn::log::Severity::severity, ::cvn::log::Severity::severity, name, __FILE__, __LINE__)

/// CV_TRACE(Dbg, <the enclosing function's qualified name>), the name CV_CATCH_RETURN() uses.
#define CV_TRACE_METHOD(severity)          \
    CV_DECLARE_METHOD_NAME(cvTraceName_); \
    CV_TRACE(severity, cvTraceName_.text)
