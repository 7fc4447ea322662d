// Local calendar time on this platform.
#include "platform/os/Clock.h"

#include <time.h>

namespace cvn::os {
namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDifferenceSeconds = 11644473600ull;
}  // namespace

CalendarTime FileTimeToLocalCalendar(uint64_t fileTime) noexcept
{
    CalendarTime result;
    const uint64_t seconds = fileTime / 10000000ull;
    if (seconds < kEpochDifferenceSeconds) return result;
    const time_t unixSeconds = static_cast<time_t>(seconds - kEpochDifferenceSeconds);
    // One conversion per second and thread: log lines come many to a second.
    thread_local time_t cachedSeconds = -1;
    thread_local tm local{};
    if (unixSeconds != cachedSeconds) {
        if (!localtime_r(&unixSeconds, &local)) {
            cachedSeconds = -1;
            return result;
        }
        cachedSeconds = unixSeconds;
    }
    result.year = static_cast<uint32_t>(local.tm_year + 1900);
    result.month = static_cast<uint32_t>(local.tm_mon + 1);
    result.day = static_cast<uint32_t>(local.tm_mday);
    result.hour = static_cast<uint32_t>(local.tm_hour);
    result.minute = static_cast<uint32_t>(local.tm_min);
    result.second = static_cast<uint32_t>(local.tm_sec);
    result.millisecond = static_cast<uint32_t>((fileTime / 10000ull) % 1000ull);
    return result;
}

}  // namespace cvn::os
