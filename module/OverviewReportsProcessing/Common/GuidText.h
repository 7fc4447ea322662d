// The braced text of a fresh GUID (the text form itself is cvn::GuidToText).
// Thread safety: draws from a per-thread generator.
#pragma once

#include <string>

namespace OverviewReportsProcessing {

/// The braced text of a fresh random GUID.
std::string NewGuidText();

}  // namespace OverviewReportsProcessing
