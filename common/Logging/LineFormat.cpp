// Text forms of the log.
#include "common/Logging/LineFormat.h"

#include <cstdio>

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
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void AppendLogLine(std::string& out, const LineFields& f, std::string_view text)
{
    const std::string_view fileName = SourceFileName(f.sourcePath);
    const int nameLength = static_cast<int>(fileName.size() > 0x7FFF ? 0x7FFF : fileName.size());
    const int lineWidth = 30 - nameLength < 4 ? 4 : 30 - nameLength;
    const int indent = f.indent < 0 ? 0 : (f.indent > kMaxIndentLevel ? kMaxIndentLevel : f.indent);
    char prefix[256];
    const int length = std::snprintf(
        prefix, sizeof prefix, "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s",
        f.time.year, f.time.month, f.time.day, f.time.hour, f.time.minute, f.time.second, f.time.millisecond,
        f.ticksBelowMs % 10000, SeverityTag(f.severity), f.processId % 65536, f.threadId % 65536,
        nameLength < 26 ? nameLength : 26, fileName.data(), lineWidth, static_cast<unsigned>(f.line), indent * 2, "");
    if (length > 0) out.append(prefix, static_cast<size_t>(length < static_cast<int>(sizeof prefix) ? length : sizeof prefix - 1));
    out.append(text);
    out.append("\r\n");
}

std::string FormatElapsed(int64_t microseconds)
{
    const bool negative = microseconds < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
    const std::string whole = std::to_string(magnitude / 1000);
    std::string grouped;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i != 0 && (whole.size() - i) % 3 == 0) grouped += ' ';
        grouped += whole[i];
    }
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(magnitude % 1000));
    return std::string(" [") + (negative ? "-" : "") + grouped + fraction + " ms]";
}

void AppendUtf16Le(std::string& out, std::string_view s)
{
    out.reserve(out.size() + s.size() * 2);
    size_t i = 0;
    auto put = [&out](uint32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            put(c);
            ++i;
            continue;
        }
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
}

}  // namespace cvn::log
