// UTF-8 <-> UTF-16 conversion for the node library. Lone surrogates are kept
// (written as three-byte sequences, read back the same way) so that any UTF-16
// string survives a trip through the UTF-8 text form.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cvn::nodestore {

/// Length of a NUL-terminated UTF-16 string; 0 for null.
size_t Length16(const char16_t* text) noexcept;
/// View of a NUL-terminated UTF-16 string; empty for null.
inline std::u16string_view View16(const char16_t* text) noexcept
{
    return {text ? text : u"", Length16(text)};
}

/// Appends the UTF-8 form of text (lone surrogates as three-byte sequences).
void AppendUtf8(std::string& out, std::u16string_view text);
inline constexpr size_t kInvalidUtf8 = static_cast<size_t>(-1);
/// DecodeUtf8 from position start on, the units before it written already.
size_t DecodeUtf8From(std::string_view text, char16_t* out, size_t start) noexcept;
/// Decodes UTF-8 into out (room for text.size() units is enough): the number of units, or kInvalidUtf8.
/// Inline for the short ASCII names and values that most text holds.
inline size_t DecodeUtf8(std::string_view text, char16_t* out) noexcept
{
    const size_t n = text.size();
    if (n > 16) return DecodeUtf8From(text, out, 0);
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) return DecodeUtf8From(text, out, i);
        out[i] = c;
    }
    return n;
}
/// Appends the UTF-16 form of UTF-8 text; false (out unchanged) on a malformed sequence.
bool AppendUtf16(std::u16string& out, std::string_view text);
/// Number of code points in UTF-8 text (continuation bytes are not counted).
size_t CountCodePoints(std::string_view text) noexcept;

}  // namespace cvn::nodestore
