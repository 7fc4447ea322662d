// The real clocks, the process clock and the manual one.
#include "common/Helpers/Clock.h"

#include <new>

namespace cvn {
namespace {

class SystemClocks final : public IClock {
public:
    SystemTimePoint System() const noexcept override { return std::chrono::system_clock::now(); }
    SteadyTimePoint Steady() const noexcept override { return std::chrono::steady_clock::now(); }

    void SleepUntil(SteadyTimePoint deadline, const std::atomic<bool>& stop) const override
    {
        std::unique_lock held(m_lock);
        const auto stopped = [&stop] { return stop.load(); };
        if (deadline == SteadyTimePoint::max())
            m_woken.wait(held, stopped);
        else
            m_woken.wait_until(held, deadline, stopped);
    }

    void Wake() const noexcept override
    {
        std::lock_guard held(m_lock);
        m_woken.notify_all();
    }

private:
    // One condition for every sleeper: stops are rare and cheap to check.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_woken;
};

const SystemClocks& TheSystemClocks() noexcept
{
    // Never destroyed: workers may still sleep on it during process exit.
    alignas(SystemClocks) static unsigned char storage[sizeof(SystemClocks)];
    static const SystemClocks* clocks = new (storage) SystemClocks();
    return *clocks;
}

std::atomic<const IClock*> g_installed{nullptr};

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifferenceSeconds = 11644473600ll;

}  // namespace

const IClock& RealClock() noexcept { return TheSystemClocks(); }

void InstallClock(const IClock* clock) noexcept { g_installed.store(clock, std::memory_order_release); }

const IClock& ProcessClock() noexcept
{
    const IClock* installed = g_installed.load(std::memory_order_acquire);
    return installed ? *installed : RealClock();
}

SystemTimePoint SystemNow() noexcept { return ProcessClock().System(); }
SteadyTimePoint SteadyNow() noexcept { return ProcessClock().Steady(); }

uint64_t FileTimeOf(SystemTimePoint time) noexcept
{
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    const int64_t ticks = std::chrono::duration_cast<Ticks>(time.time_since_epoch()).count();
    return static_cast<uint64_t>(ticks + kEpochDifferenceSeconds * 10000000ll);
}

ManualClock::ManualClock(SystemTimePoint start) : m_system(start), m_steady(std::chrono::steady_clock::now())
{
    m_previous = g_installed.exchange(this, std::memory_order_acq_rel);
}

ManualClock::~ManualClock()
{
    const IClock* self = this;
    g_installed.compare_exchange_strong(self, m_previous, std::memory_order_acq_rel);
}

void ManualClock::Advance(std::chrono::milliseconds step) noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_system += step;
    if (step.count() > 0) m_steady += step;
    m_moved.notify_all();
}

void ManualClock::SetSystemTime(SystemTimePoint time) noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_system = time;
}

SystemTimePoint ManualClock::System() const noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_system;
}

SteadyTimePoint ManualClock::Steady() const noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_steady;
}

void ManualClock::SleepUntil(SteadyTimePoint deadline, const std::atomic<bool>& stop) const
{
    std::unique_lock held(m_lock);
    m_moved.wait(held, [&] { return stop.load() || m_steady >= deadline; });
}

void ManualClock::Wake() const noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_moved.notify_all();
}

}  // namespace cvn
