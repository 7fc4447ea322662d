// The text forms of GUIDs and HRESULTs used in logs, error descriptions, queries and configuration.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "corvane/Platform.h"

namespace cvn {

/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters, upper case.
std::string GuidToText(const GUID& guid);

/// "0x" and eight upper-case hex digits.
std::string HrToText(HRESULT code);

/// "{8-4-4-4-12}" hex text, braces optional, either case, as a GUID; false (out untouched) on any other text.
bool ParseGuidText(std::string_view text, GUID& out) noexcept;

}  // namespace cvn
