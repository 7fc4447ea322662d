// Time texts and day starts, on the proleptic Gregorian calendar in UTC.
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"

namespace Corvane {

using namespace std::chrono;
using cvn::SystemTimePoint;

namespace {

std::string Format(SystemTimePoint time, const char* format)
{
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto days = floor<std::chrono::days>(seconds);
    const year_month_day date{days};
    const hh_mm_ss clock{seconds - days};
    const int yearValue = static_cast<int>(date.year());
    cvn::ThrowIf(yearValue < 0 || yearValue > 9999, cvn::E_INVALIDARG, "Time out of range");
    char text[32];
    std::snprintf(text, sizeof text, format, yearValue, static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    return text;
}

int YearOf(SystemTimePoint time) { return static_cast<int>(year_month_day{floor<days>(time)}.year()); }

}  // namespace

std::string FormatUtcTime(SystemTimePoint time) { return Format(time, "%04d-%02u-%02uT%02d:%02d:%02dZ"); }

std::string FormatQueryTime(SystemTimePoint time) { return Format(time, "%04d-%02u-%02u %02d:%02d:%02d"); }

SystemTimePoint ParseUtcTime(std::string_view text)
{
    const std::string copy(text);
    // Read as the form's scan reads it: the leading fields that match, each up to its width, the rest 0;
    // so "2024-03-05 07:09:00" is that day's start, and fractions or a missing "Z" are not looked at.
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s);
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
        cvn::ThrowHrWithDescription(cvn::kHrInvalidData, "Invalid UTC time: \"" + copy + "\"");

    // The clock's unit overflows centuries before the form's years end: the years it cannot hold (with a
    // margin for the day starts reckoned back from a time) are refused before anything is converted.
    static const int firstYear = YearOf(SystemTimePoint::min()) + 1;
    static const int lastYear = YearOf(SystemTimePoint::max()) - 1;
    if (y < firstYear || y > lastYear)
        cvn::ThrowHrWithDescription(cvn::kHrInvalidData, "UTC time out of range: \"" + copy + "\"; years " +
                                                             std::to_string(firstYear) + " to " +
                                                             std::to_string(lastYear) + " can be used");
    return SystemTimePoint{sys_days{date}} + hours{h} + minutes{mi} + seconds{s};
}

SystemTimePoint DayStart(SystemTimePoint time, int32_t hoursBack, int32_t offsetSec)
{
    const auto local = floor<seconds>(time) - hours{hoursBack} + seconds{offsetSec};
    return floor<days>(local) - seconds{offsetSec};
}

}  // namespace Corvane
