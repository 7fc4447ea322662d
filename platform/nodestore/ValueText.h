// The canonical text of attribute values and its parsing: the text that a read
// as string (type 2) returns and that the text form writes. Integers in
// decimal, booleans "true"/"false", GUIDs braced in upper case, arrays and
// string lists as items joined by "|" (escapes "\|" and "\\"; "\e" alone is the
// list of one empty item; "" is the empty list).
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/nodestore/Value.h"

namespace cvn::nodestore {

/// Appends the canonical text of value (UTF-8 or UTF-16).
void AppendValueText(std::string& out, ValueView value);
void AppendValueText(std::u16string& out, ValueView value);

/// Parses a value of the given type from its text (UTF-8). Integers also accept
/// "0x" + hex digits (the bit pattern), booleans "1"/"0" and any letter case,
/// GUIDs without braces or in lower case. On failure returns false and sets
/// why to a short reason ("'12x' is not a 32-bit integer").
bool ParseValueText(uint16_t type, std::string_view text, ValueBuffer& out, std::string& why);

/// Scalar parsers shared with the conversions; false when the text does not parse.
bool ParseInteger(std::string_view text, int bits, int64_t& out) noexcept;
bool ParseBool(std::string_view text, bool& out) noexcept;
bool ParseGuid(std::string_view text, GUID& out) noexcept;

}  // namespace cvn::nodestore
