// The braced text form of GUIDs as this module writes them ("{8-4-4-4-12}", upper case).
// Thread safety: pure functions (NewGuidText draws from a per-thread generator).
#pragma once

#include <string>

#include "corvane/Platform.h"

namespace OverviewReportsProcessing {

/// The 38-character braced upper-case text of the GUID; never fails.
std::string GuidToText(const GUID& guid);

/// The braced text of a fresh random GUID.
std::string NewGuidText();

}  // namespace OverviewReportsProcessing
