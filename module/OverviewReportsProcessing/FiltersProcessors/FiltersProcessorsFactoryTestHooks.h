// Tests only: processor kinds beside the built-in ones.
// Thread safety: may be called from any thread.
#pragma once

#include <string>

#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactory.h"

namespace OverviewReportsProcessing {

/// Makes name available to MakeProcessor next to the built-in kinds (a built-in name keeps its own
/// entry), for tests of chains before the real processors exist. Empty name or activator: E_INVALIDARG.
void RegisterProcessorForTests(const std::string& name, ProcessorActivator activator);
/// Forgets a test registration; an unknown name is ignored.
void UnregisterProcessorForTests(const std::string& name);

}  // namespace OverviewReportsProcessing
