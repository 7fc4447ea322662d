// Time texts and day starts, on the proleptic Gregorian calendar in UTC.
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"

#include <chrono>
#include <cstdio>

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

}  // namespace

std::string FormatUtcTime(SystemTimePoint time) { return Format(time, "%04d-%02u-%02uT%02d:%02d:%02dZ"); }

std::string FormatQueryTime(SystemTimePoint time) { return Format(time, "%04d-%02u-%02u %02d:%02d:%02d"); }

SystemTimePoint ParseUtcTime(std::string_view text)
{
    const std::string copy(text);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char end = 0;
    int consumed = 0;
    const int read = std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &y, &mo, &d, &h, &mi, &s, &end, &consumed);
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (read != 7 || end != 'Z' || static_cast<size_t>(consumed) != copy.size() || !date.ok() || h < 0 || h > 23 ||
        mi < 0 || mi > 59 || s < 0 || s > 59)
        cvn::ThrowHrWithDescription(cvn::kHrInvalidData, "Invalid UTC time: \"" + copy + "\"");
    return sys_days{date} + hours{h} + minutes{mi} + seconds{s};
}

SystemTimePoint DayStart(SystemTimePoint time, int32_t hoursBack, int32_t offsetSec)
{
    const auto local = floor<seconds>(time) - hours{hoursBack} + seconds{offsetSec};
    return floor<days>(local) - seconds{offsetSec};
}

}  // namespace Corvane
