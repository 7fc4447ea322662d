// Monitoring plan ids as they appear as node names of the monitoring plans configuration:
// braced "{8-4-4-4-12}", plain "8-4-4-4-12" or 32 digits without dashes, any letter case.
// Thread safety: pure functions.
#pragma once

#include <string_view>

#include "corvane/Platform.h"

namespace OverviewReportsProcessing {

/// The GUID the text names; HRX E_INVALIDARG (logged) for anything but one of the three forms in full.
GUID ParseMonitoringPlanId(std::string_view text);

}  // namespace OverviewReportsProcessing
