// Process-wide clocks of the module (wall and steady), real by default.
// Tests install a ManualClock to move time in milliseconds without sleeping.
// Thread safety: reads may come from any thread; install and remove a clock
// while no component that reads it runs a timed rule.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

namespace cvn {

using SystemTimePoint = std::chrono::system_clock::time_point;
using SteadyTimePoint = std::chrono::steady_clock::time_point;

/// Wall clock now (UTC); the installed manual clock when there is one.
SystemTimePoint SystemNow() noexcept;
/// Monotonic clock now; the installed manual clock when there is one.
SteadyTimePoint SteadyNow() noexcept;

/// A clock that stands still until told to move; installed for its lifetime.
class ManualClock {
public:
    /// Starts at the given wall time (and an arbitrary steady origin) and installs itself.
    explicit ManualClock(SystemTimePoint start = std::chrono::system_clock::now());
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    /// Moves both clocks forward (a negative step moves the wall clock back and leaves steady time).
    void Advance(std::chrono::milliseconds step) noexcept;
    /// Sets the wall clock only, as an administrator changing the system time would.
    void SetSystemTime(SystemTimePoint time) noexcept;

    SystemTimePoint System() const noexcept;
    SteadyTimePoint Steady() const noexcept;

private:
    mutable std::mutex m_lock;
    SystemTimePoint m_system;
    SteadyTimePoint m_steady;
};

}  // namespace cvn
