// Fresh identifiers: random version-4 UUIDs, the stand-in for the system's UUID creation.
// Thread safety: may be called from any thread at once (one generator per thread).
#pragma once

#include "corvane/Platform.h"

namespace cvn::os {

/// A new random version-4 UUID (variant bits 10); never fails.
GUID NewUuid() noexcept;

}  // namespace cvn::os
