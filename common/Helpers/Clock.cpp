// Process-wide clocks with an optional manual override.
#include "common/Helpers/Clock.h"

namespace cvn {
namespace {

std::atomic<ManualClock*> g_manual{nullptr};

}  // namespace

SystemTimePoint SystemNow() noexcept
{
    if (ManualClock* manual = g_manual.load(std::memory_order_acquire)) return manual->System();
    return std::chrono::system_clock::now();
}

SteadyTimePoint SteadyNow() noexcept
{
    if (ManualClock* manual = g_manual.load(std::memory_order_acquire)) return manual->Steady();
    return std::chrono::steady_clock::now();
}

ManualClock::ManualClock(SystemTimePoint start) : m_system(start), m_steady(std::chrono::steady_clock::now())
{
    g_manual.store(this, std::memory_order_release);
}

ManualClock::~ManualClock()
{
    ManualClock* self = this;
    g_manual.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void ManualClock::Advance(std::chrono::milliseconds step) noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_system += step;
    if (step.count() > 0) m_steady += step;
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

}  // namespace cvn
