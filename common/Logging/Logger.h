// The logger's settings ("Logger" section), cached and re-read when older than
// 5000 ms by the process clock (common/Helpers/Clock.h).
// Thread safety: every member may be called from any thread; a refresh runs on one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/Helpers/Clock.h"

namespace cvn::log {

struct LoggerSettings {
    uint32_t maxSeverity = 5;          ///< "DBG"
    uint64_t fileSizeThresholdMB = 1024;  ///< 0 switches the check off
    uint64_t keepOpenIntervalMs = 5000;   ///< 0 opens the file for every line
    std::string path = "Logs\\";
};

inline constexpr uint64_t kSettingsRefreshMs = 5000;

class Logger {
public:
    static Logger& Instance() noexcept;

    /// The cached MaxSeverity, refreshed first when stale; the default when settings cannot be read.
    uint32_t MaxSeverity() noexcept
    {
        RefreshIfStale();
        return m_maxSeverity.load(std::memory_order_relaxed);
    }
    /// The cached KeepOpenInterval in milliseconds, refreshed first when stale.
    uint64_t KeepOpenIntervalMs() noexcept { return KeepOpenIntervalMs(MillisecondsOf(SteadyNow())); }
    /// The same for a caller that has read the steady clock already (milliseconds).
    uint64_t KeepOpenIntervalMs(uint64_t nowMs) noexcept
    {
        RefreshIfStale(nowMs);
        return m_keepOpenMs.load(std::memory_order_relaxed);
    }
    /// A copy of the cached settings, refreshed first when stale.
    LoggerSettings Settings();
    /// Makes the next use re-read the settings (tests, and after changing sources).
    void Invalidate() noexcept;

private:
    Logger() = default;
    void RefreshIfStale() noexcept { RefreshIfStale(MillisecondsOf(SteadyNow())); }
    void RefreshIfStale(uint64_t nowMs) noexcept
    {
        if (!m_valid.load(std::memory_order_acquire) ||
            nowMs - m_readAt.load(std::memory_order_relaxed) >= kSettingsRefreshMs)
            Refresh();
    }
    void Refresh() noexcept;

    std::atomic<uint32_t> m_maxSeverity{5};
    std::atomic<uint64_t> m_keepOpenMs{5000};
    std::atomic<uint64_t> m_readAt{0};
    std::atomic<bool> m_valid{false};
    std::mutex m_lock;
    LoggerSettings m_settings;
};

}  // namespace cvn::log
