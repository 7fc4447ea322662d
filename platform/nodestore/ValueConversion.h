// Conversions between attribute value types for reads that ask for another type
// than the stored one: anything to string, strings to what they spell, 32/64-bit
// integers and booleans among each other (range checked), a scalar to an array
// or string list of one item, arrays to string lists and back.
// Thread safety: pure functions.
#pragma once

#include "platform/nodestore/Value.h"

namespace cvn::nodestore {

/// Converts value to type into out: S_OK, or 0x8007000D when no conversion exists
/// or the value does not fit (out is then unspecified).
HRESULT ConvertValue(ValueView value, uint16_t type, ValueBuffer& out);

}  // namespace cvn::nodestore
