// The periodic worker's thread procedure and its waits.
#include "common/Helpers/AsyncAction.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"

namespace cvn {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr milliseconds kForever = milliseconds::max();

milliseconds FromSeconds(uint64_t seconds)
{
    constexpr uint64_t kLargest = static_cast<uint64_t>(milliseconds::max().count() / 1000);
    return seconds >= kLargest ? kForever : milliseconds(static_cast<int64_t>(seconds) * 1000);
}

}  // namespace

struct CAsyncAction::State {
    std::mutex lock;
    std::condition_variable wakeUp;
    milliseconds period{0};
    steady_clock::time_point lastRun;
    bool stop = false;
    Action action;

    // Waits until from + delay or until stop; a delay past the clock's range waits for stop only.
    void WaitUntil(std::unique_lock<std::mutex>& held, steady_clock::time_point from, milliseconds delay)
    {
        const auto stopped = [this] { return stop; };
        const bool unbounded =
            delay == kForever || delay.count() == 0 ||
            delay >= std::chrono::duration_cast<milliseconds>(steady_clock::time_point::max() - from);
        if (unbounded)
            wakeUp.wait(held, stopped);
        else
            wakeUp.wait_until(held, from + delay, stopped);
    }
};

CAsyncAction::CAsyncAction(uint64_t firstDelaySec, uint64_t periodSec, Action action)
    : CAsyncAction(FromSeconds(firstDelaySec), FromSeconds(periodSec), std::move(action))
{
}

CAsyncAction::CAsyncAction(milliseconds firstDelay, milliseconds period, Action action)
{
    if (!action || firstDelay.count() < 0 || period.count() < 0) {
        CV_LOG(Err, "CAsyncAction: " << (!action ? "no action given" : "negative delay or period"));
        ThrowHr(E_INVALIDARG);
    }
    m_state = std::make_shared<State>();
    m_state->period = period;
    m_state->action = std::move(action);
    m_thread = std::thread(&CAsyncAction::ThreadProc, m_state, this, firstDelay);
}

CAsyncAction::~CAsyncAction()
{
    {
        std::lock_guard guard(m_state->lock);
        m_state->stop = true;
    }
    m_state->wakeUp.notify_all();
    if (!m_thread.joinable()) return;
    // Destroyed by its own action: the thread sees the stop flag after the run and ends on its own.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

bool CAsyncAction::IsStopRequested() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->stop;
}

void CAsyncAction::ThreadProc(std::shared_ptr<State> state, CAsyncAction* owner, milliseconds firstDelay)
{
    CV_TRACE(Dbg, "AsyncAction thread");
    std::unique_lock held(state->lock);
    // A zero first delay runs at once; only the period treats 0 as "never again".
    if (firstDelay.count() > 0) state->WaitUntil(held, steady_clock::now(), firstDelay);
    while (!state->stop) {
        held.unlock();
        try {
            CV_TRACE(Dbg2, "Executing AsyncAction");
            state->action(*owner);
        } catch (const HRX& error) {
            CV_LOG(Warn, "AsyncAction run failed: " << ErrorText(error));
        } catch (const std::exception& error) {
            CV_LOG(Warn, "AsyncAction run failed: " << error.what());
        } catch (...) {
            CV_LOG(Warn, "AsyncAction run failed with an unknown exception");
        }
        held.lock();
        state->lastRun = steady_clock::now();
        state->WaitUntil(held, state->lastRun, state->period);
    }
}

}  // namespace cvn
