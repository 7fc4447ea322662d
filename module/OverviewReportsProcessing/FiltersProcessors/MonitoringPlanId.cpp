// Monitoring plan id text.
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanId.h"

#include "common/ErrorHandling/HRX.h"

#include <array>
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

// Reads exactly `digits` hexadecimal digits at pos; false on anything else.
bool ReadHex(std::string_view text, size_t& pos, size_t digits, uint32_t& value) noexcept
{
    if (text.size() < pos + digits) return false;
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int digit = HexValue(text[pos + i]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    pos += digits;
    return true;
}

bool Expect(std::string_view text, size_t& pos, char c) noexcept
{
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// The 11 fields in order (8, 4, 4, then eight bytes); dashes only between the first five groups.
bool Parse(std::string_view text, bool braced, bool dashed, GUID& guid) noexcept
{
    size_t pos = 0;
    uint32_t value = 0;
    const auto dash = [&] { return !dashed || Expect(text, pos, '-'); };
    if (braced && !Expect(text, pos, '{')) return false;
    if (!ReadHex(text, pos, 8, value)) return false;
    guid.Data1 = value;
    if (!dash() || !ReadHex(text, pos, 4, value)) return false;
    guid.Data2 = static_cast<uint16_t>(value);
    if (!dash() || !ReadHex(text, pos, 4, value)) return false;
    guid.Data3 = static_cast<uint16_t>(value);
    if (!dash()) return false;
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2 && !dash()) return false;
        if (!ReadHex(text, pos, 2, value)) return false;
        guid.Data4[i] = static_cast<uint8_t>(value);
    }
    if (braced && !Expect(text, pos, '}')) return false;
    return pos == text.size();
}

}  // namespace

GUID ParseMonitoringPlanId(std::string_view text)
{
    GUID guid{};
    const bool braced = !text.empty() && text.front() == '{';
    const bool dashed = braced || text.find('-') != std::string_view::npos;
    if (!Parse(text, braced, dashed, guid))
        CV_FAIL_LOGGED("OverviewReportsProcessing::ParseMonitoringPlanId", cvn::E_INVALIDARG,
                       "Invalid monitoring plan id: " << text);
    return guid;
}

}  // namespace OverviewReportsProcessing
