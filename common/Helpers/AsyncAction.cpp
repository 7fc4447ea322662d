// The periodic worker's thread procedure and its waits.
#include "common/Helpers/AsyncAction.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"

namespace cvn {

using std::chrono::milliseconds;

namespace {

constexpr milliseconds kForever = milliseconds::max();

milliseconds FromSeconds(uint64_t seconds)
{
    constexpr uint64_t kLargest = static_cast<uint64_t>(milliseconds::max().count() / 1000);
    return seconds >= kLargest ? kForever : milliseconds(static_cast<int64_t>(seconds) * 1000);
}

// from + delay; never for kForever, 0 (the period that means "once") or past the clock's range.
SteadyTimePoint Deadline(SteadyTimePoint from, milliseconds delay)
{
    if (delay == kForever || delay.count() == 0 ||
        delay >= std::chrono::duration_cast<milliseconds>(SteadyTimePoint::max() - from))
        return SteadyTimePoint::max();
    return from + delay;
}

}  // namespace

struct CAsyncAction::State {
    explicit State(const IClock& clock) : clock(clock) {}
    const IClock& clock;
    milliseconds period{0};
    std::atomic<bool> stop{false};
    Action action;
};

CAsyncAction::CAsyncAction(uint64_t firstDelaySec, uint64_t periodSec, Action action, const IClock& clock)
    : CAsyncAction(FromSeconds(firstDelaySec), FromSeconds(periodSec), std::move(action), clock)
{
}

CAsyncAction::CAsyncAction(milliseconds firstDelay, milliseconds period, Action action, const IClock& clock)
{
    if (!action || firstDelay.count() < 0 || period.count() < 0)
        ThrowHrWithDescription(E_INVALIDARG,
                               !action ? "CAsyncAction: no action given" : "CAsyncAction: negative delay or period");
    m_state = std::make_shared<State>(clock);
    m_state->period = period;
    m_state->action = std::move(action);
    // Measured from now, not from when the thread gets going. A zero first delay runs at once; only
    // the period treats 0 as "never again".
    const SteadyTimePoint now = clock.Steady();
    m_thread =
        std::thread(&CAsyncAction::ThreadProc, m_state, this, firstDelay.count() > 0 ? Deadline(now, firstDelay) : now);
}

CAsyncAction::~CAsyncAction()
{
    m_state->stop = true;
    m_state->clock.Wake();
    if (!m_thread.joinable()) return;
    // Destroyed by its own action: the thread sees the stop flag after the run and ends on its own.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

bool CAsyncAction::IsStopRequested() const { return m_state->stop; }

void CAsyncAction::ThreadProc(std::shared_ptr<State> state, CAsyncAction* owner, SteadyTimePoint firstRun)
{
    CV_TRACE(Dbg, "AsyncAction thread");
    const IClock& clock = state->clock;
    clock.SleepUntil(firstRun, state->stop);
    while (!state->stop) {
        try {
            CV_TRACE(Dbg2, "Executing AsyncAction");
            state->action(*owner);
        } catch (...) {
            // Stays with its run: the action logs its own failures, and the trace above marks the exit.
        }
        clock.SleepUntil(Deadline(clock.Steady(), state->period), state->stop);
    }
}

}  // namespace cvn
