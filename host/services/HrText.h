// HRESULTs as log text ("0x80070490").
// Thread safety: pure function.
#pragma once

#include <cstdio>
#include <string>

#include "corvane/Platform.h"

namespace cvn::host {

/// "0x" and eight upper-case hex digits.
inline std::string HrText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace cvn::host
