// Canonical value text and its parsing (see ValueText.h).
#include "platform/nodestore/ValueText.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "platform/nodestore/Utf.h"

namespace cvn::nodestore {

namespace {

void AppendAscii(std::string& out, std::string_view text)
{
    out.append(text);
}
void AppendAscii(std::u16string& out, std::string_view text)
{
    out.append(text.begin(), text.end());
}
void AppendUnits(std::string& out, std::u16string_view text)
{
    AppendUtf8(out, text);
}
void AppendUnits(std::u16string& out, std::u16string_view text)
{
    out.append(text);
}

template <class Out>
void AppendInteger(Out& out, int64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    AppendAscii(out, std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)));
}

template <class Out>
void AppendGuid(Out& out, const uint8_t* bytes)
{
    GUID g;
    std::memcpy(&g, bytes, sizeof g);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    AppendAscii(out, std::string_view(buffer, 38));
}

// Items of a string list, with "\" and "|" escaped; "\e" for the one empty item.
template <class Out>
void AppendStringList(Out& out, std::u16string_view units)
{
    if (units.size() == 1) {  // one empty item
        AppendAscii(out, "\\e");
        return;
    }
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        if (c == 0) {
            if (i + 1 < units.size()) AppendAscii(out, "|");
            continue;
        }
        const size_t start = i;
        while (i < units.size() && units[i] != 0 && units[i] != u'\\' && units[i] != u'|') ++i;
        AppendUnits(out, units.substr(start, i - start));
        if (i < units.size() && units[i] != 0) {
            AppendAscii(out, units[i] == u'\\' ? "\\\\" : "\\|");
        } else {
            --i;  // let the loop see the NUL
        }
    }
}

template <class Out>
void AppendText(Out& out, ValueView value)
{
    const uint8_t* data = value.data;
    switch (value.type) {
        case QXN_TYPE_STRING:
            AppendUnits(out, value.String());
            break;
        case QXN_TYPE_INT32:
        case QXN_TYPE_INT32_ALT:
        case QXN_TYPE_INT64:
            AppendInteger(out, value.Integer());
            break;
        case QXN_TYPE_BOOL:
            AppendAscii(out, value.Integer() ? "true" : "false");
            break;
        case QXN_TYPE_GUID:
            AppendGuid(out, data);
            break;
        case QXN_TYPE_INT32_ARRAY:
            for (uint32_t offset = 0; offset < value.size; offset += 4) {
                int32_t v;
                std::memcpy(&v, data + offset, 4);
                if (offset) AppendAscii(out, "|");
                AppendInteger(out, v);
            }
            break;
        case QXN_TYPE_GUID_ARRAY:
            for (uint32_t offset = 0; offset < value.size; offset += 16) {
                if (offset) AppendAscii(out, "|");
                AppendGuid(out, data + offset);
            }
            break;
        case QXN_TYPE_STRING_LIST:
            AppendStringList(out, value.Units());
            break;
        default:
            break;
    }
}

int HexDigit(char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHex(std::string_view text, uint64_t& out) noexcept
{
    out = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        out = (out << 4) | static_cast<uint64_t>(d);
    }
    return !text.empty();
}

bool EqualsNoCase(std::string_view text, std::string_view lower) noexcept
{
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

std::string Quoted(std::string_view text)
{
    std::string q = "'";
    q.append(text.substr(0, 80));
    if (text.size() > 80) q += "...";
    q += "'";
    return q;
}

// Splits list text at "|" (no escapes: for integer and GUID arrays).
std::vector<std::string_view> SplitItems(std::string_view text)
{
    std::vector<std::string_view> items;
    if (text.empty()) return items;
    size_t start = 0;
    for (;;) {
        const size_t bar = text.find('|', start);
        items.push_back(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (bar == std::string_view::npos) return items;
        start = bar + 1;
    }
}

bool ParseStringList(std::string_view text, ValueBuffer& out, std::string& why)
{
    std::u16string units;
    if (text == "\\e") {
        units.push_back(0);
    } else if (!text.empty()) {
        size_t start = 0;
        for (size_t i = 0; i <= text.size(); ++i) {
            if (i < text.size() && text[i] != '|' && text[i] != '\\') continue;
            if (!AppendUtf16(units, text.substr(start, i - start))) {
                why = "invalid UTF-8 in the list";
                return false;
            }
            if (i == text.size() || text[i] == '|') {
                units.push_back(0);
            } else {  // backslash escape
                if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '|')) {
                    why = "bad escape in string list " + Quoted(text) +
                          ": write \\\\ for a backslash and \\| for a bar inside an item";
                    return false;
                }
                units.push_back(static_cast<char16_t>(text[++i]));
            }
            start = i + 1;
        }
    }
    out.Assign({QXN_TYPE_STRING_LIST, reinterpret_cast<const uint8_t*>(units.data()),
                static_cast<uint32_t>(units.size() * 2)});
    return true;
}

}  // namespace

void AppendValueText(std::string& out, ValueView value)
{
    AppendText(out, value);
}
void AppendValueText(std::u16string& out, ValueView value)
{
    AppendText(out, value);
}

bool ParseHexInteger(std::string_view text, int bits, int64_t& out) noexcept
{
    uint64_t v;
    if (text.size() - 2 > static_cast<size_t>(bits / 4) || !ParseHex(text.substr(2), v)) return false;
    out = bits == 32 ? static_cast<int32_t>(static_cast<uint32_t>(v)) : static_cast<int64_t>(v);
    return true;
}

bool ParseBool(std::string_view text, bool& out) noexcept
{
    if (text == "1" || EqualsNoCase(text, "true")) {
        out = true;
        return true;
    }
    if (text == "0" || EqualsNoCase(text, "false")) {
        out = false;
        return true;
    }
    return false;
}

bool ParseGuid(std::string_view text, GUID& out) noexcept
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    uint64_t d1, d2, d3, d4, d5;
    if (!ParseHex(text.substr(0, 8), d1) || !ParseHex(text.substr(9, 4), d2) || !ParseHex(text.substr(14, 4), d3) ||
        !ParseHex(text.substr(19, 4), d4) || !ParseHex(text.substr(24, 12), d5))
        return false;
    out = MakeGuid(static_cast<uint32_t>(d1), static_cast<uint16_t>(d2), static_cast<uint16_t>(d3),
                   static_cast<uint16_t>(d4), d5);
    return true;
}

bool ParseValueText(uint16_t type, std::string_view text, ValueBuffer& out, std::string& why)
{
    switch (type) {
        case QXN_TYPE_STRING: {
            // Decoded in place: UTF-16 never needs more units than UTF-8 has bytes.
            auto* units = reinterpret_cast<char16_t*>(out.Reset(QXN_TYPE_STRING, (text.size() + 1) * 2));
            const size_t length = DecodeUtf8(text, units);  // the text has no NUL: it comes from C strings
            if (length == kInvalidUtf8) {
                why = "invalid UTF-8";
                return false;
            }
            units[length] = 0;
            out.Reset(QXN_TYPE_STRING, (length + 1) * 2);  // shrinks, keeping the units
            return true;
        }
        case QXN_TYPE_INT32:
        case QXN_TYPE_INT32_ALT:
        case QXN_TYPE_INT64: {
            int64_t v;
            const int bits = type == QXN_TYPE_INT64 ? 64 : 32;
            if (!ParseInteger(text, bits, v)) {
                why = Quoted(text) + (bits == 64 ? " is not a 64-bit integer" : " is not a 32-bit integer");
                return false;
            }
            out.SetInteger(type, v);
            return true;
        }
        case QXN_TYPE_BOOL: {
            bool v;
            if (!ParseBool(text, v)) {
                why = Quoted(text) + " is not a boolean (true or false)";
                return false;
            }
            out.SetInteger(type, v);
            return true;
        }
        case QXN_TYPE_GUID: {
            GUID g;
            if (!ParseGuid(text, g)) {
                why = Quoted(text) + " is not a GUID ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})";
                return false;
            }
            out.SetGuid(g);
            return true;
        }
        case QXN_TYPE_INT32_ARRAY:
        case QXN_TYPE_GUID_ARRAY: {
            const auto items = SplitItems(text);
            const uint32_t itemSize = type == QXN_TYPE_GUID_ARRAY ? 16 : 4;
            uint8_t* data = out.Reset(type, static_cast<uint32_t>(items.size()) * itemSize);
            for (size_t i = 0; i < items.size(); ++i) {
                int64_t v;
                GUID g;
                if (type == QXN_TYPE_GUID_ARRAY ? !ParseGuid(items[i], g) : !ParseInteger(items[i], 32, v)) {
                    why = "item " + std::to_string(i + 1) + ", " + Quoted(items[i]) +
                          (type == QXN_TYPE_GUID_ARRAY ? ", is not a GUID" : ", is not a 32-bit integer");
                    return false;
                }
                if (type == QXN_TYPE_GUID_ARRAY) {
                    std::memcpy(data + i * 16, &g, 16);
                } else {
                    const auto v32 = static_cast<int32_t>(v);
                    std::memcpy(data + i * 4, &v32, 4);
                }
            }
            return true;
        }
        case QXN_TYPE_STRING_LIST:
            return ParseStringList(text, out, why);
        default:
            why = "unknown type";
            return false;
    }
}

}  // namespace cvn::nodestore
