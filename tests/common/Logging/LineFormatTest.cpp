// Line layout, tags, the elapsed-time text and UTF-16LE encoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "common/Logging/LineFormat.h"

namespace cvn::log {
namespace {

LineFields Fields(std::string_view path, int line, uint32_t severity = 5, int indent = 0)
{
    LineFields fields;
    fields.time = {2024, 3, 7, 9, 5, 2, 45};
    fields.ticksBelowMs = 6789;
    fields.severity = severity;
    fields.processId = 70000;  // shown modulo 65536
    fields.threadId = 42;
    fields.sourcePath = path;
    fields.line = line;
    fields.indent = indent;
    return fields;
}

std::string Line(const LineFields& fields, std::string_view text)
{
    std::string out;
    AppendLogLine(out, fields, text);
    return out;
}

TEST(LineFormat, MatchesTheFixedLayoutByteForByteCutsLongFileNamesAndClampsIndentation)
{
    EXPECT_EQ(Line(Fields("/src/module/Common/CorvaneGate.cpp", 123), "Entering: X"),
              "2024-03-07 09:05:02.0456789 | DBG  | 4464    42 | CorvaneGate.cpp:123            | Entering: X\r\n");
    EXPECT_EQ(Line(Fields("C:\\src\\a.h", 7, 2, 2), "failed"),
              "2024-03-07 09:05:02.0456789 | ERR  | 4464    42 | a.h:7                          |     failed\r\n");

    // Long file names are cut and the bar keeps its column.
    const std::string shortLine = Line(Fields("x/ab.cpp", 1), "t");
    const std::string exactLine = Line(Fields("x/ABCDEFGHIJKLMNOPQRSTUV.cpp", 9999), "t");  // 26 characters
    EXPECT_EQ(shortLine.find("| t"), exactLine.find("| t"));
    const std::string longLine = Line(Fields("x/ABCDEFGHIJKLMNOPQRSTUVWXYZ0123.cpp", 5), "t");
    EXPECT_NE(longLine.find("| ABCDEFGHIJKLMNOPQRSTUVWXYZ:5   | t"), std::string::npos) << longLine;

    // Indentation is clamped to thirty levels, tags to four characters.
    const std::string deep = Line(Fields("a.cpp", 1, 6, 45), "t");
    EXPECT_NE(deep.find("| " + std::string(60, ' ') + "t\r\n"), std::string::npos);
    EXPECT_EQ(deep.find("| " + std::string(61, ' ') + "t"), std::string::npos);
    EXPECT_NE(Line(Fields("a.cpp", 1, 9), "t").find(" |      |"), std::string::npos);
    EXPECT_NE(deep.find("| DBG2 |"), std::string::npos);
}

// The line is formatted by hand; printf with the documented format is the reference.
TEST(LineFormat, EqualsThePrintfFormatForEdgeValues)
{
    struct Case {
        os::CalendarTime time;
        uint32_t ticks, severity, pid, tid;
        std::string_view path;
        int line, indent;
    };
    const Case cases[] = {
        {{2024, 12, 31, 23, 59, 59, 999}, 9999, 1, 65535, 65536, "x.cpp", 0, 0},
        {{1, 1, 1, 0, 0, 0, 0}, 12345, 7, 0, 123456789, "", 2147483647, 1},
        {{10000, 100, 7, 5, 6, 7, 8}, 0, 0, 99999, 1, "/a/b\\c.cpp", -1, 31},
        {{2024, 3, 7, 9, 5, 2, 45}, 6789, 12, 4464, 42, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.cpp", 123456, -3},
        {{2024, 3, 7, 9, 5, 2, 45}, 6789, 4, 4464, 42, "ABCDEFGHIJKLMNOPQRSTUVWXYZ.h", 42, 2},
    };
    for (const Case& c : cases) {
        LineFields fields;
        fields.time = c.time;
        fields.ticksBelowMs = c.ticks;
        fields.severity = c.severity;
        fields.processId = c.pid;
        fields.threadId = c.tid;
        fields.sourcePath = c.path;
        fields.line = c.line;
        fields.indent = c.indent;
        const std::string_view name = SourceFileName(c.path);
        const int length = static_cast<int>(name.size());
        const int indent = c.indent < 0 ? 0 : std::min(c.indent, kMaxIndentLevel);
        char expected[512];
        std::snprintf(expected, sizeof expected,
                      "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s%s\r\n", c.time.year,
                      c.time.month, c.time.day, c.time.hour, c.time.minute, c.time.second, c.time.millisecond,
                      c.ticks % 10000, SeverityTag(c.severity), c.pid % 65536, c.tid % 65536, std::min(length, 26),
                      name.data(), std::max(30 - length, 4), static_cast<unsigned>(c.line), indent * 2, "", "text");
        EXPECT_EQ(Line(fields, "text"), expected) << c.path;
    }
}

TEST(LineFormat, SeverityTagsParseWithoutRegardToCaseElapsedTimesGroupDigitsAndTextIsUtf16Le)
{
    EXPECT_EQ(ParseSeverity("none"), Severity::None);
    EXPECT_EQ(ParseSeverity("dBg3"), Severity::Dbg3);
    EXPECT_EQ(ParseSeverity("ERR"), Severity::Err);
    EXPECT_FALSE(ParseSeverity("VERBOSE"));
    EXPECT_FALSE(ParseSeverity("5"));
    EXPECT_STREQ(SeverityTag(8), "");

    // Elapsed times are grouped by three with blanks.
    EXPECT_EQ(FormatElapsed(1234567), " [1 234.567 ms]");
    EXPECT_EQ(FormatElapsed(5), " [0.005 ms]");
    EXPECT_EQ(FormatElapsed(999999), " [999.999 ms]");
    EXPECT_EQ(FormatElapsed(1234567890123), " [1 234 567 890.123 ms]");
    EXPECT_EQ(FormatElapsed(-1500), " [-1.500 ms]");
    EXPECT_EQ(FormatElapsed(INT64_MIN), " [-9 223 372 036 854 775.808 ms]");

    // UTF-16LE without a byte order mark.
    std::string bytes;
    AppendUtf16Le(bytes, "A\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(bytes, std::string("A\0\xE9\0\x3D\xD8\x00\xDE", 8));
    bytes.clear();
    AppendUtf16Le(bytes, "\xC3");  // truncated sequence
    EXPECT_EQ(bytes, std::string("\xFD\xFF", 2));
}

}  // namespace
}  // namespace cvn::log
