// The logging front end: severity checks, line writing, message building and tracing scopes.
#include "common/Logging/Log.h"

#include <pthread.h>

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/Clock.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Logging/LineFormat.h"
#include "common/Logging/LogManager.h"
#include "common/Logging/LogSink.h"
#include "common/Logging/Logger.h"
#include "common/Logging/ModuleLog.h"
#include "common/Logging/NodeText.h"
#include "common/Logging/ScratchText.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "platform/os/Process.h"

namespace cvn::log {
namespace {

using detail::ScratchText;

thread_local int t_indent = 0;

constexpr const char* kExceptionMark = "... (***EXCEPTION***)";

// getpid is a system call, on every line; the cache is cleared in a forked child.
std::atomic<uint32_t> g_processId{0};

uint32_t ProcessIdCached() noexcept
{
    uint32_t id = g_processId.load(std::memory_order_relaxed);
    if (id == 0) {
        static const bool registered = [] {
            pthread_atfork(nullptr, nullptr, [] { g_processId.store(0, std::memory_order_relaxed); });
            return true;
        }();
        (void)registered;
        id = os::ProcessId();
        g_processId.store(id, std::memory_order_relaxed);
    }
    return id;
}

}  // namespace

std::atomic<uint32_t> detail::g_severityCeiling{static_cast<uint32_t>(Severity::Dbg3)};

bool detail::IsEnabledChecked(Severity severity) noexcept
{
    return static_cast<uint32_t>(severity) <= Logger::Instance().MaxSeverity();
}

int CurrentIndent() noexcept { return t_indent; }

void Write(Severity severity, std::string_view text, const char* file, int line, ILogSink* sink) noexcept
{
    try {
        EnsureModuleLog();
        const uint64_t fileTime = FileTimeOf(SystemNow());
        LineFields fields;
        fields.time = os::FileTimeToLocalCalendar(fileTime);
        fields.ticksBelowMs = static_cast<uint32_t>(fileTime % 10000);
        fields.severity = static_cast<uint32_t>(severity);
        fields.processId = ProcessIdCached();
        fields.threadId = os::CurrentThreadId();
        fields.sourcePath = file ? std::string_view(file) : std::string_view();
        fields.line = line;
        fields.indent = t_indent;
        ScratchText line;
        std::string& formatted = *line;
        AppendLogLine(formatted, fields, text);
        if (sink)
            sink->Write(formatted.data(), formatted.size());
        else
            LogManager::Instance().WriteToAll(formatted.data(), formatted.size());
    } catch (...) {
        // Out of memory while formatting: the line is dropped, the caller goes on.
    }
}

MessageBuilder& MessageBuilder::operator<<(std::string_view text)
{
    m_text.append(text);
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(char c)
{
    m_text += c;
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(bool value) { return *this << (value ? "true" : "false"); }
MessageBuilder& MessageBuilder::operator<<(int32_t value) { return *this << std::to_string(value); }
MessageBuilder& MessageBuilder::operator<<(uint32_t value) { return *this << std::to_string(value); }
MessageBuilder& MessageBuilder::operator<<(int64_t value) { return *this << std::to_string(value); }
MessageBuilder& MessageBuilder::operator<<(uint64_t value) { return *this << std::to_string(value); }

MessageBuilder& MessageBuilder::operator<<(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return *this << buffer;
}

MessageBuilder& MessageBuilder::operator<<(const void* pointer)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%016" PRIXPTR, reinterpret_cast<uintptr_t>(pointer));
    return *this << buffer;
}

MessageBuilder& MessageBuilder::operator<<(const GUID& guid) { return *this << GuidToText(guid); }

MessageBuilder& MessageBuilder::operator<<(const HRX& error) { return *this << ErrorText(error); }
MessageBuilder& MessageBuilder::operator<<(const QxNodePtr& node) { return *this << NodeText{node}; }
MessageBuilder& MessageBuilder::operator<<(const NodeText& node)
{
    return *this << LogTextOfNode(node.node, node.depth);
}

void MessageBuilder::MarkException() noexcept { m_exception = true; }

void MessageBuilder::Write(Severity severity, const char* file, int line) noexcept
{
    if (m_exception) {
        try {
            m_text += kExceptionMark;
        } catch (...) {
        }
    }
    log::Write(severity, m_text, file, line);
}

TraceScope::TraceScope(Severity severity, Severity exceptionSeverity, const char* name, const char* file, int line,
                       ILogSink* sink) noexcept
    : m_severity(severity), m_exceptionSeverity(exceptionSeverity), m_name(name ? name : ""), m_file(file),
      m_line(line), m_sink(sink)
{
    Enter();
}

TraceScope::TraceScope(Severity severity, Severity exceptionSeverity, std::string name, const char* file, int line,
                       ILogSink* sink) noexcept
    : m_severity(severity), m_exceptionSeverity(exceptionSeverity), m_file(file), m_line(line), m_sink(sink)
{
    m_ownedName = std::move(name);
    m_name = m_ownedName;
    Enter();
}

void TraceScope::Enter() noexcept
{
    m_uncaughtAtEntry = std::uncaught_exceptions();
    if (IsEnabled(m_severity)) {
        try {
            ScratchText scratch;
            std::string& text = *scratch;
            text.append("Entering: ");
            text.append(m_name);
            log::Write(m_severity, text, m_file, m_line, m_sink);
        } catch (...) {
        }
        ++t_indent;
        m_indentAdded = 1;
    }
    m_start = SteadyNow().time_since_epoch().count();
}

TraceScope::~TraceScope()
{
    const int64_t end = SteadyNow().time_since_epoch().count();
    const bool byException = std::uncaught_exceptions() != m_uncaughtAtEntry;
    const Severity severity = byException ? m_exceptionSeverity : m_severity;
    t_indent -= m_indentAdded;
    if (!IsEnabled(severity)) return;
    try {
        const int64_t microseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                         SteadyTimePoint::duration(end - m_start)).count();
        ScratchText scratch;
        std::string& text = *scratch;
        text.append(byException ? "EXCEPTION at: " : "Exiting: ");
        text.append(m_name);
        text += FormatElapsed(microseconds);
        log::Write(severity, text, m_file, m_line, m_sink);
    } catch (...) {
    }
}

}  // namespace cvn::log
