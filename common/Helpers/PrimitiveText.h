// The text forms of GUIDs and HRESULTs used in logs, error descriptions and queries.
// Thread safety: pure functions.
#pragma once

#include <string>

#include "corvane/Platform.h"

namespace cvn {

/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters, upper case.
std::string GuidToText(const GUID& guid);

/// "0x" and eight upper-case hex digits.
std::string HrToText(HRESULT code);

}  // namespace cvn
