// Text forms of the log.
#include "common/Logging/LineFormat.h"

#include <cstring>

namespace cvn::log {
namespace {

constexpr const char* kTags[] = {"NONE", "CRIT", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 32) : a[i];
        const char y = (b[i] >= 'a' && b[i] <= 'z') ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

}  // namespace

const char* SeverityTag(uint32_t severity) noexcept { return severity < 8 ? kTags[severity] : ""; }

std::optional<Severity> ParseSeverity(std::string_view text) noexcept
{
    for (uint32_t i = 0; i < 8; ++i)
        if (EqualsNoCase(text, kTags[i])) return static_cast<Severity>(i);
    return std::nullopt;
}

std::string_view SourceFileName(std::string_view path) noexcept
{
    // By hand: find_last_of searches the set once per character.
    for (size_t i = path.size(); i > 0; --i)
        if (path[i - 1] == '\\' || path[i - 1] == '/') return path.substr(i);
    return path;
}

namespace {

// The line is written by hand: it is on every logged line, and printf's parsing of the format
// cost more than the rest of the line. Each helper writes what the printf conversion named beside it
// would.

// The decimal digits of value, last first; returns how many.
int ReversedDigits(uint32_t value, char (&digits)[10]) noexcept
{
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return count;
}

// %0<width>u
char* PutZeroPadded(char* at, uint32_t value, int width) noexcept
{
    char digits[10];
    int count = ReversedDigits(value, digits);
    for (int i = count; i < width; ++i) *at++ = '0';
    while (count > 0) *at++ = digits[--count];
    return at;
}

// %<width>u (right-aligned) or %-<width>u (left-aligned)
char* PutPadded(char* at, uint32_t value, int width, bool left) noexcept
{
    char digits[10];
    int count = ReversedDigits(value, digits);
    const int padding = width > count ? width - count : 0;
    if (!left)
        for (int i = 0; i < padding; ++i) *at++ = ' ';
    while (count > 0) *at++ = digits[--count];
    if (left)
        for (int i = 0; i < padding; ++i) *at++ = ' ';
    return at;
}

char* PutText(char* at, std::string_view text) noexcept
{
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

}  // namespace

void AppendLogLine(std::string& out, const LineFields& f, std::string_view text)
{
    // "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s" and the text
    const std::string_view fileName = SourceFileName(f.sourcePath);
    const int nameLength = static_cast<int>(fileName.size() > 0x7FFF ? 0x7FFF : fileName.size());
    const int lineWidth = 30 - nameLength < 4 ? 4 : 30 - nameLength;
    const int indent = f.indent < 0 ? 0 : (f.indent > kMaxIndentLevel ? kMaxIndentLevel : f.indent);
    const std::string_view shownName = fileName.substr(0, nameLength < 26 ? nameLength : 26);
    std::string_view tag = SeverityTag(f.severity);
    tag = tag.substr(0, 4);
    // Every number takes at most 10 digits and every width is at most 30; the name at most 26 bytes.
    char prefix[256];
    char* at = prefix;
    at = PutZeroPadded(at, f.time.year, 4);
    *at++ = '-';
    at = PutZeroPadded(at, f.time.month, 2);
    *at++ = '-';
    at = PutZeroPadded(at, f.time.day, 2);
    *at++ = ' ';
    at = PutZeroPadded(at, f.time.hour, 2);
    *at++ = ':';
    at = PutZeroPadded(at, f.time.minute, 2);
    *at++ = ':';
    at = PutZeroPadded(at, f.time.second, 2);
    *at++ = '.';
    at = PutZeroPadded(at, f.time.millisecond, 3);
    at = PutZeroPadded(at, f.ticksBelowMs % 10000, 4);
    at = PutText(at, " | ");
    at = PutText(at, tag);
    for (size_t i = tag.size(); i < 4; ++i) *at++ = ' ';
    at = PutText(at, " |");
    at = PutPadded(at, f.processId % 65536, 5, false);
    *at++ = ' ';
    at = PutPadded(at, f.threadId % 65536, 5, false);
    at = PutText(at, " | ");
    at = PutText(at, shownName);
    *at++ = ':';
    at = PutPadded(at, static_cast<unsigned>(f.line), lineWidth, true);
    at = PutText(at, "| ");
    out.reserve(out.size() + static_cast<size_t>(at - prefix) + static_cast<size_t>(indent) * 2 + text.size() + 2);
    out.append(prefix, static_cast<size_t>(at - prefix));
    out.append(static_cast<size_t>(indent) * 2, ' ');
    out.append(text);
    out.append("\r\n");
}

std::string FormatElapsed(int64_t microseconds)
{
    const bool negative = microseconds < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
    char digits[20];
    int count = 0;
    for (uint64_t whole = magnitude / 1000; count == 0 || whole != 0; whole /= 10)
        digits[count++] = static_cast<char>('0' + whole % 10);
    char text[48];
    char* at = text;
    at = PutText(at, " [");
    if (negative) *at++ = '-';
    for (int i = count - 1; i >= 0; --i) {
        *at++ = digits[i];
        if (i != 0 && i % 3 == 0) *at++ = ' ';
    }
    *at++ = '.';
    at = PutZeroPadded(at, static_cast<uint32_t>(magnitude % 1000), 3);
    at = PutText(at, " ms]");
    return std::string(text, static_cast<size_t>(at - text));
}

void AppendUtf16Le(std::string& out, std::string_view s)
{
    // Written through a pointer into room for the most it can take (two bytes per input byte),
    // then cut: appending unit by unit cost more than the rest of the line's formatting.
    const size_t start = out.size();
    out.resize(start + s.size() * 2);
    char* at = out.data() + start;
    size_t i = 0;
    auto put = [&at](uint32_t unit) {
        *at++ = static_cast<char>(unit & 0xFF);
        *at++ = static_cast<char>(unit >> 8);
    };
    const size_t n = s.size();
    while (i < n) {
        while (i < n && static_cast<unsigned char>(s[i]) < 0x80) {  // runs of ASCII, the common case
            at[0] = s[i++];
            at[1] = 0;
            at += 2;
        }
        if (i == n) break;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
        else { put(0xFFFD); ++i; continue; }
        if (i + extra >= s.size()) { put(0xFFFD); ++i; continue; }
        bool valid = true;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) { valid = false; break; }
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            put(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
        i += extra + 1;
    }
    out.resize(static_cast<size_t>(at - out.data()));
}

}  // namespace cvn::log
