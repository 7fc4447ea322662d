// Logger settings.
#include "common/Logging/Logger.h"

#include <algorithm>
#include <new>

#include "common/Logging/LineFormat.h"
#include "common/Logging/Log.h"
#include "common/Settings/SettingsStore.h"

namespace cvn::log {
Logger& Logger::Instance() noexcept
{
    // Never destroyed: objects released during process exit may still log.
    alignas(Logger) static unsigned char storage[sizeof(Logger)];
    static Logger* logger = new (storage) Logger();
    return *logger;
}

void Logger::Invalidate() noexcept
{
    m_valid.store(false, std::memory_order_release);
    // Lets every severity through the inline check until the next refresh.
    detail::g_severityCeiling.store(static_cast<uint32_t>(Severity::Dbg3), std::memory_order_relaxed);
}

void Logger::Refresh() noexcept
{
    // A refresh in progress (on this thread or another) leaves the cached values in use.
    std::unique_lock<std::mutex> guard(m_lock, std::try_to_lock);
    if (!guard.owns_lock()) return;
    LoggerSettings fresh;
    try {
        const std::string severity = GetSetting("Logger", "MaxSeverity", "");
        if (const auto parsed = ParseSeverity(severity)) fresh.maxSeverity = static_cast<uint32_t>(*parsed);
        const int64_t threshold = GetSettingInt("Logger", "LogFileSizeThresholdMB", 1024);
        fresh.fileSizeThresholdMB = threshold < 0 ? 1024 : static_cast<uint64_t>(threshold);
        const int64_t keepOpen = GetSettingInt("Logger", "KeepOpenInterval", 5000);
        fresh.keepOpenIntervalMs = keepOpen < 0 ? 5000 : static_cast<uint64_t>(keepOpen);
        fresh.path = GetSetting("Logger", "Path", "Logs\\");
        m_settings = fresh;
    } catch (...) {
        // Out of memory while reading: keep what was cached.
    }
    m_maxSeverity.store(m_settings.maxSeverity, std::memory_order_relaxed);
    // Never below DBG: the module's DBG traces then keep reaching the out-of-line check, so a
    // lowered MaxSeverity (even NONE) that is raised again is still re-read within the interval.
    detail::g_severityCeiling.store(std::max(m_settings.maxSeverity, static_cast<uint32_t>(Severity::Dbg)),
                                    std::memory_order_relaxed);
    m_keepOpenMs.store(m_settings.keepOpenIntervalMs, std::memory_order_relaxed);
    m_readAt.store(MillisecondsOf(SteadyNow()), std::memory_order_relaxed);
    m_valid.store(true, std::memory_order_release);
}

LoggerSettings Logger::Settings()
{
    RefreshIfStale();
    std::lock_guard<std::mutex> guard(m_lock);
    return m_settings;
}

}  // namespace cvn::log
