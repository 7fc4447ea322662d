// Tests only: replacing or dropping the process-wide MaskHelper.
// Thread safety: may be called from any thread.
#pragma once

#include <memory>

#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

namespace OverviewReportsProcessing {

/// Makes the given instance the process-wide one. Earlier instances stay alive, so references
/// already handed out stay valid.
void InstallMaskHelperForTests(std::unique_ptr<MaskHelper> helper);
/// Drops the process-wide instance so the next use reads the store again.
void ResetMaskHelperForTests();

}  // namespace OverviewReportsProcessing
