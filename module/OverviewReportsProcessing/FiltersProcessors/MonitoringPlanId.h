// Monitoring plan ids as they appear as node names of the monitoring plans configuration:
// braced "{8-4-4-4-12}" (a text starting with "{"), 32 digits without dashes (a text with no "-"),
// else plain "8-4-4-4-12"; any letter case. Read as scanf reads such a format: each field is up to
// its width of digits after optional blanks, and nothing after the eleventh field is looked at.
// Thread safety: pure functions.
#pragma once

#include <string_view>

#include "corvane/Platform.h"

namespace OverviewReportsProcessing {

/// The GUID the text names; HRX E_INVALIDARG (logged) when its form does not yield all 11 fields.
GUID ParseMonitoringPlanId(std::string_view text);

}  // namespace OverviewReportsProcessing
