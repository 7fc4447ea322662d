// Small text helpers shared by the stand-ins: case-insensitive comparison
// (ASCII) and decoding of text files that may be UTF-16LE.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace cvn::os {

/// ASCII case-insensitive equality; other bytes compare exactly.
bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;

/// UTF-8 text of a file's bytes: a UTF-8 BOM is dropped, UTF-16LE with BOM is converted
/// (unpaired surrogates become U+FFFD); anything else is taken as UTF-8.
std::string DecodeTextFile(const std::string& bytes);

/// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace cvn::os
