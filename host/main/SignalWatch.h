// SIGINT and SIGTERM turned into a flag that the host's loops read: the
// signals are blocked in every thread and taken by one watcher thread, so no
// handler runs inside a request and the host can shut down in order.
// Thread safety: construct first in main, before any other thread starts;
// StopRequested and Signal from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace cvn::hostmain {

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

    /// Runs action on the watcher thread when a stop signal arrives while the scope lives (at once
    /// when one has arrived already), so a wait in progress can be ended. The destructor waits for a
    /// running action. One scope at a time.
    class StopAction {
    public:
        explicit StopAction(std::function<void()> action);
        ~StopAction();
        StopAction(const StopAction&) = delete;
        StopAction& operator=(const StopAction&) = delete;
    };

private:
    static void RunStopAction();

    static inline std::atomic<int> s_signal{0};
    static inline std::mutex s_actionLock;
    static inline std::function<void()> s_action;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace cvn::hostmain
