// The local calendar form of a wall time in 100-ns units since 1601 (as the
// system's file times), for log lines. The clocks themselves are common/Helpers/Clock.h.
// Thread safety: stateless; may be called from any thread at once.
#pragma once

#include <cstdint>

namespace cvn::os {

struct CalendarTime {
    uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

/// The local calendar time of a file time (milliseconds included); all zero when it cannot convert.
CalendarTime FileTimeToLocalCalendar(uint64_t fileTime) noexcept;

}  // namespace cvn::os
