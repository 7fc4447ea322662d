// The signal watcher thread.
#include "host/main/SignalWatch.h"

#include <signal.h>

#include <cstdio>
#include <ctime>

namespace cvn::hostmain {

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

SignalWatch::SignalWatch()
{
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_thread = std::thread([this] {
        const sigset_t wanted = StopSignals();
        const timespec step{0, 50 * 1000 * 1000};
        while (!m_done.load()) {
            const int signal = sigtimedwait(&wanted, nullptr, &step);
            if (signal > 0 && s_signal.exchange(signal) == 0) {
                std::fprintf(stderr, "\ncorvane-host: %s received; finishing the requests in flight and shutting down\n",
                             signal == SIGINT ? "SIGINT" : "SIGTERM");
                RunStopAction();
            }
        }
    });
}

void SignalWatch::RunStopAction()
{
    std::lock_guard lock(s_actionLock);
    if (s_action) s_action();
}

SignalWatch::StopAction::StopAction(std::function<void()> action)
{
    {
        std::lock_guard lock(s_actionLock);
        s_action = std::move(action);
    }
    if (StopRequested()) RunStopAction();
}

SignalWatch::StopAction::~StopAction()
{
    std::lock_guard lock(s_actionLock);
    s_action = nullptr;
}

SignalWatch::~SignalWatch()
{
    m_done.store(true);
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace cvn::hostmain
