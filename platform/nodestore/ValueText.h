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

/// Scalar parsers shared with the conversions; false when the text does not parse. The integer
/// parsers are inline: the text form's parser reads an integer for most attributes.
bool ParseHexInteger(std::string_view text, int bits, int64_t& out) noexcept;  ///< "0x" + hex digits
inline bool ParseDecimalInteger(std::string_view text, int bits, int64_t& out) noexcept
{
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
    if (i == text.size()) return false;
    const uint64_t limit = (uint64_t{1} << (bits - 1)) - (negative ? 0 : 1);
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const unsigned digit = static_cast<unsigned char>(text[i]) - '0';
        if (digit > 9 || __builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, digit, &v) || v > limit)
            return false;
    }
    out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}
inline bool ParseInteger(std::string_view text, int bits, int64_t& out) noexcept
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return ParseHexInteger(text, bits, out);
    return ParseDecimalInteger(text, bits, out);
}
bool ParseBool(std::string_view text, bool& out) noexcept;
bool ParseGuid(std::string_view text, GUID& out) noexcept;

}  // namespace cvn::nodestore
