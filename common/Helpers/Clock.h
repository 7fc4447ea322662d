// The module's one clock seam: wall and steady time, and sleeping until a steady
// time. Components that are handed no clock read the process clock (the real
// clocks unless a test installed another); a periodic worker may be handed its
// own. Tests use a ManualClock to move time in milliseconds without sleeping.
// Thread safety: every member may be called from any thread; install and remove a
// process clock while no component that reads it runs a timed rule.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace cvn {

using SystemTimePoint = std::chrono::system_clock::time_point;
using SteadyTimePoint = std::chrono::steady_clock::time_point;

class IClock {
public:
    virtual SystemTimePoint System() const noexcept = 0;
    virtual SteadyTimePoint Steady() const noexcept = 0;
    /// Blocks until Steady() reaches deadline (SteadyTimePoint::max(): never) or until stop is set and
    /// Wake is called.
    virtual void SleepUntil(SteadyTimePoint deadline, const std::atomic<bool>& stop) const = 0;
    /// Makes every SleepUntil look at its stop flag again.
    virtual void Wake() const noexcept = 0;

protected:
    ~IClock() = default;
};

/// The system's clocks.
const IClock& RealClock() noexcept;
/// Makes clock the process clock (null: the real clocks again); it must outlive every read.
void InstallClock(const IClock* clock) noexcept;
/// The clock installed now (the real clocks when none is): for a worker that should sleep on a test's clock.
const IClock& ProcessClock() noexcept;
/// The process clock's wall time (UTC) and steady time.
SystemTimePoint SystemNow() noexcept;
SteadyTimePoint SteadyNow() noexcept;

/// Wall time in 100-ns units since 1601-01-01 UTC, as the system's file times.
uint64_t FileTimeOf(SystemTimePoint time) noexcept;
/// Whole milliseconds of a steady time since the clock's origin.
inline uint64_t MillisecondsOf(SteadyTimePoint time) noexcept
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

/// A clock that stands still until told to move; the process clock for its lifetime.
class ManualClock final : public IClock {
public:
    /// Starts at the given wall time (and the real steady time) and installs itself; the clock it
    /// replaced comes back when it goes.
    explicit ManualClock(SystemTimePoint start = std::chrono::system_clock::now());
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    /// Moves both clocks forward (a negative step moves the wall clock back and leaves steady time).
    void Advance(std::chrono::milliseconds step) noexcept;
    /// Sets the wall clock only, as an administrator changing the system time would.
    void SetSystemTime(SystemTimePoint time) noexcept;

    SystemTimePoint System() const noexcept override;
    SteadyTimePoint Steady() const noexcept override;
    void SleepUntil(SteadyTimePoint deadline, const std::atomic<bool>& stop) const override;
    void Wake() const noexcept override;

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_moved;
    SystemTimePoint m_system;
    SteadyTimePoint m_steady;
    const IClock* m_previous = nullptr;
};

}  // namespace cvn
