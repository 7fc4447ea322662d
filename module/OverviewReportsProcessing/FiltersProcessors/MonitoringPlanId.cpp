// Monitoring plan id text.
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanId.h"

#include "common/ErrorHandling/HRX.h"

#include <cctype>
#include <cstdint>


namespace OverviewReportsProcessing {

namespace {

int HexValue(char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One field as a scanf "%<width>X" conversion reads it: blanks skipped, then 1 to `width` hex digits.
// Signs and a "0x" prefix, which scanf would also take, are refused: no plan id is written with one.
bool ReadField(std::string_view text, size_t& pos, size_t width, uint32_t& value) noexcept
{
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    value = 0;
    size_t read = 0;
    for (; read < width && pos < text.size(); ++read, ++pos) {
        const int digit = HexValue(text[pos]);
        if (digit < 0) break;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return read > 0;
}

bool Expect(std::string_view text, size_t& pos, char c) noexcept
{
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// The scan of "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}" (braces and dashes as the form has
// them): true once all 11 fields are read. Like the scan, it never looks past the last field, so a
// missing closing brace or text after it does not matter.
bool Scan(std::string_view text, bool braced, bool dashed, GUID& guid) noexcept
{
    size_t pos = 0;
    uint32_t value = 0;
    const auto dash = [&] { return !dashed || Expect(text, pos, '-'); };
    if (braced && !Expect(text, pos, '{')) return false;
    if (!ReadField(text, pos, 8, value)) return false;
    guid.Data1 = value;
    if (!dash() || !ReadField(text, pos, 4, value)) return false;
    guid.Data2 = static_cast<uint16_t>(value);
    if (!dash() || !ReadField(text, pos, 4, value)) return false;
    guid.Data3 = static_cast<uint16_t>(value);
    if (!dash()) return false;
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2 && !dash()) return false;
        if (!ReadField(text, pos, 2, value)) return false;
        guid.Data4[i] = static_cast<uint8_t>(value);
    }
    return true;
}

}  // namespace

GUID ParseMonitoringPlanId(std::string_view text)
{
    GUID guid{};
    // The form is chosen before reading: braced when it starts with "{", undashed when it has no "-".
    const bool braced = !text.empty() && text.front() == '{';
    const bool dashed = braced || text.find('-') != std::string_view::npos;
    if (!Scan(text, braced, dashed, guid))
        CV_FAIL_LOGGED("OverviewReportsProcessing::ParseMonitoringPlanId", cvn::E_INVALIDARG,
                       "Invalid monitoring plan id: " << text);
    return guid;
}

}  // namespace OverviewReportsProcessing
