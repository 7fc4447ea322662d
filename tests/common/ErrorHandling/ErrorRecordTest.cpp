// The error text: formatting, parsing and building records from error objects.
#include <gtest/gtest.h>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ErrorRecord.h"

namespace cvn {
namespace {

TEST(ErrorText, FormatsAndParsesARecordFlagsLeavePartsOutAndOnlyAFinalBracketIsATrace)
{
    const ErrorRecord record{E_INVALIDARG, "Bad argument", "0x00007F0000001234"};
    EXPECT_EQ(FormatErrorText(record), "0x80070057 Bad argument [0x00007F0000001234]");
    EXPECT_EQ(ParseErrorText(FormatErrorText(record)), record);
    // Brackets inside a description survive a round trip.
    const ErrorRecord bracketed{E_FAIL, "Section [General] is bad", "0x0000000000000001;0x0000000000000002"};
    EXPECT_EQ(ParseErrorText(FormatErrorText(bracketed)), bracketed);

    const ErrorRecord failed{E_FAIL, "Failed", "0x0000000000000001;0x0000000000000002"};
    EXPECT_EQ(FormatErrorText(failed, kErrorTextNoCode), "Failed [0x0000000000000001;0x0000000000000002]");
    EXPECT_EQ(FormatErrorText(failed, kErrorTextNoDescription | kErrorTextNoTrace), "0x80004005");
    EXPECT_EQ(FormatErrorText(failed, kErrorTextNoTrace), "0x80004005 Failed");
    EXPECT_EQ(FormatErrorText({E_FAIL, "Ends in blanks \r\n", ""}), "0x80004005 Ends in blanks");

    // Parsing needs a number and one blank and takes the trace only from a final bracket.
    for (const char* text : {"", "Bad", " 0x80004005 lead", "-5 negative", "0x80004005", "0x80004005\tTab",
                             "12ab text", "0x1FFFFFFFF too wide"})
        EXPECT_FALSE(ParseErrorText(text)) << text;
    EXPECT_EQ(ParseErrorText("2147942487 decimal"), (ErrorRecord{E_INVALIDARG, "decimal", ""}));
    EXPECT_EQ(ParseErrorText("0x80070057 "), (ErrorRecord{E_INVALIDARG, "", ""}));
    EXPECT_EQ(ParseErrorText("0x80004005 Value [3 is out of range"), (ErrorRecord{E_FAIL, "Value [3 is out of range", ""}));
    EXPECT_EQ(ParseErrorText("0x80004005 ]"), (ErrorRecord{E_FAIL, "]", ""}));
}

TEST(TraceGroups, AreUpperCaseSixteenDigitAddressesJoinedBySemicolons)
{
    const void* addresses[] = {reinterpret_cast<const void*>(0xabcULL), reinterpret_cast<const void*>(0x7f00dead0000ULL)};
    const std::string group = FormatTraceGroup(addresses, 2);
    EXPECT_EQ(group, "0x0000000000000ABC,0x00007F00DEAD0000");

    std::string trace;
    AppendTraceGroup(trace, group);
    AppendTraceGroup(trace, "");
    AppendTraceGroup(trace, "0x0000000000000001");
    EXPECT_EQ(trace, "0x0000000000000ABC,0x00007F00DEAD0000;0x0000000000000001");
}

TEST(BuildRecord, TakesMarkedObjectsApartAndEverythingElseAsPlainText)
{
    // Unparsable text, or a text of another code: empty trace and the message text.
    const std::string garbage = "not an error text";
    EXPECT_EQ(BuildErrorRecord(kHrNotFound, nullptr, &garbage), (ErrorRecord{kHrNotFound, "Element not found", ""}));
    const std::string otherCode = "0x80004005 Other [0x0000000000000001]";
    EXPECT_EQ(BuildErrorRecord(E_INVALIDARG, nullptr, &otherCode),
              (ErrorRecord{E_INVALIDARG, "The parameter is incorrect", ""}));

    // A marked object is parsed, and the addresses given add a group.
    const auto marked = MakeErrorObject("0x80070057 Bad [0x0000000000000001]", kErrorTextMarkerGuid);
    const void* address = reinterpret_cast<const void*>(0x2ULL);
    EXPECT_EQ(BuildErrorRecord(E_INVALIDARG, marked.Get(), nullptr, &address, 1),
              (ErrorRecord{E_INVALIDARG, "Bad", "0x0000000000000001;0x0000000000000002"}));

    // A foreign object's description is plain text; an empty one gives the message text.
    const auto foreign = MakeErrorObject("0x80004005 Looks like a text [0x1]", GUID{});
    EXPECT_EQ(BuildErrorRecord(E_INVALIDARG, foreign.Get(), nullptr),
              (ErrorRecord{E_INVALIDARG, "0x80004005 Looks like a text [0x1]", ""}));
    const auto empty = MakeErrorObject("", GUID{});
    EXPECT_EQ(BuildErrorRecord(E_POINTER, empty.Get(), nullptr).description, "Invalid pointer");
}

}  // namespace
}  // namespace cvn
