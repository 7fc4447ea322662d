// The system message table: texts of the Win32 errors (keyed by error number)
// and the HRESULT-only codes (keyed by HRESULT) that this module can meet,
// worded as the system words them, with the system's trailing CR LF.
// Thread safety: read-only data; may be called from any thread at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cvn::os {

/// The system's text for a message id, or nothing when the table has no such id.
std::optional<std::string> FindSystemMessage(uint32_t messageId);

}  // namespace cvn::os
