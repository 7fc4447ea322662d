// UTC time texts of time ranges and the status node, the presence query's
// time values, and the local day start that both time ranges begin at.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Helpers/Clock.h"

namespace Corvane {

/// "2024-03-05T07:09:00Z"; whole seconds, earlier fractions dropped. Years outside 0..9999 throw HRX E_INVALIDARG.
std::string FormatUtcTime(cvn::SystemTimePoint time);
/// "2024-03-05 07:09:00", as the queries processor's conditions take it; same limits.
std::string FormatQueryTime(cvn::SystemTimePoint time);
/// Reads the FormatUtcTime form by its leading fields (at least the date; later fields, when they do not
/// follow, are 0). An impossible date or time, or a year the system's clock cannot hold, throws HRX
/// 0x8007000D naming the text.
cvn::SystemTimePoint ParseUtcTime(std::string_view text);

/// The UTC instant at which the client's local day began (local = UTC + offsetSec) that contains
/// the moment hours before time.
cvn::SystemTimePoint DayStart(cvn::SystemTimePoint time, int32_t hours, int32_t offsetSec);

}  // namespace Corvane
