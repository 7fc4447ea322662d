// Names, type suffixes and escaping of the text form (see TextFormSyntax.h).
#include "platform/nodestore/TextFormSyntax.h"

#include <array>
#include <cstring>

#include "corvane/Nodestore.h"
#include "platform/nodestore/Utf.h"

namespace cvn::nodestore::textform {

namespace {

struct SuffixEntry {
    uint16_t type;
    std::string_view suffix;
};
constexpr SuffixEntry kSuffixes[] = {
    {QXN_TYPE_STRING, "str"},       {QXN_TYPE_INT32, "i32"},        {QXN_TYPE_INT32_ALT, "n32"},
    {QXN_TYPE_INT64, "i64"},        {QXN_TYPE_BOOL, "bool"},        {QXN_TYPE_GUID, "guid"},
    {QXN_TYPE_GUID_ARRAY, "guids"}, {QXN_TYPE_INT32_ARRAY, "i32s"}, {QXN_TYPE_STRING_LIST, "strs"},
};

constexpr bool IsNameStart(char32_t c) noexcept
{
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

constexpr bool IsNameChar(char32_t c) noexcept
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

void AppendCharRef(std::string& out, char16_t c)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "&#x";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const int digit = (c >> shift) & 0xF;
        if (digit || started || shift == 0) {
            out += kHex[digit];
            started = true;
        }
    }
    out += ';';
}

}  // namespace

std::string_view TypeSuffix(uint16_t type) noexcept
{
    for (const auto& entry : kSuffixes)
        if (entry.type == type) return entry.suffix;
    return {};
}

bool TypeFromSuffix(std::string_view suffix, uint16_t& type) noexcept
{
    // By length and letters rather than through the table: every typed attribute that is read asks.
    auto is = [&suffix](const char* candidate) { return std::memcmp(suffix.data(), candidate, suffix.size()) == 0; };
    uint16_t found = 0;
    switch (suffix.size()) {
        case 3:
            found = is("str")   ? QXN_TYPE_STRING
                    : is("i32") ? QXN_TYPE_INT32
                    : is("i64") ? QXN_TYPE_INT64
                    : is("n32") ? QXN_TYPE_INT32_ALT
                                : 0;
            break;
        case 4:
            found = is("bool")   ? QXN_TYPE_BOOL
                    : is("guid") ? QXN_TYPE_GUID
                    : is("strs") ? QXN_TYPE_STRING_LIST
                    : is("i32s") ? QXN_TYPE_INT32_ARRAY
                                 : 0;
            break;
        case 5:
            found = is("guids") ? QXN_TYPE_GUID_ARRAY : 0;
            break;
        default:
            break;
    }
    if (!found) return false;
    type = found;
    return true;
}

// ASCII name characters: 2 may start a name, 1 may follow.
constexpr auto kAsciiNameClass = [] {
    std::array<uint8_t, 128> table{};
    for (int c = 0; c < 128; ++c)
        table[c] = IsNameStart(static_cast<char32_t>(c)) ? 2 : IsNameChar(static_cast<char32_t>(c)) ? 1 : 0;
    return table;
}();

bool IsXmlName(std::u16string_view text) noexcept
{
    if (text.empty()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            if (kAsciiNameClass[c] < (i == 0 ? 2 : 1)) return false;
            continue;
        }
        if (c >= 0xD800 && c < 0xE000) {  // only a valid surrogate pair counts
            if (c >= 0xDC00 || i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (i == 0 ? !IsNameStart(c) : !IsNameChar(c)) return false;
    }
    return true;
}

bool IsTagType(std::u16string_view type) noexcept
{
    return IsXmlName(type) && type.find(u':') == std::u16string_view::npos && type != u"node" && type != u"nr";
}

bool IsPlainAttributeName(std::u16string_view name) noexcept
{
    return IsXmlName(name) && name.find(u':') == std::u16string_view::npos && name != u"q";
}

void AppendEscaped(std::string& out, std::u16string_view text)
{
    size_t start = 0;  // start of the run not yet written
    auto flush = [&](size_t end) {
        AppendUtf8(out, text.substr(start, end - start));
        start = end + 1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0x20 && c != '&' && c != '<' && c != '>' && c != '"' && (c < 0xD800 || c >= 0xE000)) continue;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            ++i;  // a valid pair is written as is
            continue;
        }
        flush(i);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                AppendCharRef(out, c);
        }
    }
    AppendUtf8(out, text.substr(start));
}

}  // namespace cvn::nodestore::textform
