// Capture of the caller's return addresses, for the call trace of errors.
// Thread safety: may be called from any thread at once.
#pragma once

#include <cstdint>

namespace cvn::os {

/// Fills frames with up to count return addresses, innermost first: with framesToSkip 0 the first
/// is the return address into the calling function. Returns how many were written (0 when none).
uint32_t CaptureStackBackTrace(uint32_t framesToSkip, uint32_t count, const void** frames) noexcept;

}  // namespace cvn::os
