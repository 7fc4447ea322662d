// Line layout, tags, the elapsed-time text and UTF-16LE encoding.
#include <gtest/gtest.h>

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
