// Time for the log: the wall clock in 100-ns units since 1601 (as the system's
// file times), its local calendar form, a millisecond tick count and a
// high-resolution counter.
// Thread safety: stateless; may be called from any thread at once.
#pragma once

#include <cstdint>

namespace cvn::os {

struct CalendarTime {
    uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

/// Wall clock now, in 100-ns units since 1601-01-01 UTC.
uint64_t SystemTimeAsFileTime() noexcept;
/// The local calendar time of a file time (milliseconds included); all zero when it cannot convert.
CalendarTime FileTimeToLocalCalendar(uint64_t fileTime) noexcept;
/// Milliseconds of a monotonic clock.
uint64_t TickCountMs() noexcept;
/// A monotonic high-resolution counter and its ticks per second.
int64_t PerformanceCounter() noexcept;
int64_t PerformanceFrequency() noexcept;

}  // namespace cvn::os
