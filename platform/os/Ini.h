// INI file reading with the system's rules: section and key compared without
// regard to case, the first matching key of the first matching section wins,
// values trimmed and stripped of one pair of enclosing quotes.
// Thread safety: stateless; may be called from any thread at once.
#pragma once

#include <string>
#include <string_view>

namespace cvn::os {

/// The value of key in section of the INI file, or "" when the file cannot be read, the key is
/// missing or its value is empty. Lines that are neither "[section]", "key=value", blank nor a
/// ";" or "#" comment are skipped. Files may be UTF-8 (with or without BOM) or UTF-16LE with BOM.
std::string ReadIniValue(const std::string& file, std::string_view section, std::string_view key);

/// The same rules applied to INI text already in memory (UTF-8).
std::string FindIniValue(std::string_view text, std::string_view section, std::string_view key);

}  // namespace cvn::os
