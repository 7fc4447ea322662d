// SIGINT and SIGTERM turned into a flag that the host's loops read: the
// signals are blocked in every thread and taken by one watcher thread, so no
// handler runs inside a request and the host can shut down in order.
// Thread safety: construct first in main, before any other thread starts;
// StopRequested and Signal from any thread.
#pragma once

#include <atomic>
#include <thread>

namespace corvane::hostmain {

class SignalWatch {
public:
    /// Blocks SIGINT and SIGTERM in this thread (and the threads it will start) and starts the watcher.
    SignalWatch();
    /// Stops and joins the watcher; the signals stay blocked.
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    /// True once SIGINT or SIGTERM arrived.
    static bool StopRequested() noexcept { return s_signal.load() != 0; }
    /// The signal that arrived, 0 when none.
    static int Signal() noexcept { return s_signal.load(); }

private:
    static inline std::atomic<int> s_signal{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace corvane::hostmain
