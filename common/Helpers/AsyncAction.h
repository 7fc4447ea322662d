// CAsyncAction: runs one action on a thread of its own, first after a delay,
// then a fixed period after the end of each run, until it is destroyed. Time is
// the given clock's (the real clocks unless told).
// Thread safety: IsStopRequested from any thread; destroy from any thread
// (destruction waits for a running action; from inside the action it does not).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "common/Helpers/Clock.h"

namespace cvn {

class CAsyncAction {
public:
    using Action = std::function<void(CAsyncAction&)>;

    /// A first delay of this many seconds (or more) waits for destruction only.
    static constexpr uint64_t kInfiniteSec = 0x7FFFFFFFFFFFFFFFull;

    /// Delay and period in seconds; a period of 0 runs the action once. Throws HRX E_INVALIDARG for an
    /// empty action.
    CAsyncAction(uint64_t firstDelaySec, uint64_t periodSec, Action action, const IClock& clock = RealClock());
    /// The same with milliseconds; negative durations or an empty action throw HRX E_INVALIDARG.
    CAsyncAction(std::chrono::milliseconds firstDelay, std::chrono::milliseconds period, Action action,
                 const IClock& clock = RealClock());
    /// Stops, wakes the worker and waits for a running action to finish.
    ~CAsyncAction();
    CAsyncAction(const CAsyncAction&) = delete;
    CAsyncAction& operator=(const CAsyncAction&) = delete;

    /// True once destruction has begun; an action may return early when it is.
    bool IsStopRequested() const;

private:
    struct State;

    static void ThreadProc(std::shared_ptr<State> state, CAsyncAction* owner, SteadyTimePoint firstRun);

    // Shared with the thread, so that an action that destroys its own worker leaves the thread
    // something valid to finish with.
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

}  // namespace cvn
