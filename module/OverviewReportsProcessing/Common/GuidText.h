// The braced text form of GUIDs as this module writes them ("{8-4-4-4-12}", upper case), and fresh ones.
// Thread safety: pure functions (NewGuidText draws from a per-thread generator).
#pragma once

#include <string>

#include "common/Helpers/PrimitiveText.h"

namespace OverviewReportsProcessing {

using cvn::GuidToText;

/// The braced text of a fresh random GUID.
std::string NewGuidText();

}  // namespace OverviewReportsProcessing
