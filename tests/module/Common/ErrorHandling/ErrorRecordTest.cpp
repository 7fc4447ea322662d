// The error text: formatting, parsing and building records from error objects.
#include <gtest/gtest.h>

#include "ErrorHandling/ErrorObjects.h"
#include "ErrorHandling/ErrorRecord.h"

namespace corvane {
namespace {

TEST(ErrorText, FormatsAndParsesARecordWithTrace)
{
    const ErrorRecord record{E_INVALIDARG, "Bad argument", "0x00007F0000001234"};
    const std::string text = FormatErrorText(record);
    EXPECT_EQ(text, "0x80070057 Bad argument [0x00007F0000001234]");

    const auto parsed = ParseErrorText(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, record);
}

TEST(ErrorText, FlagsLeavePartsOutAndEmptyPartsVanish)
{
    const ErrorRecord record{E_FAIL, "Failed", "0x0000000000000001;0x0000000000000002"};
    EXPECT_EQ(FormatErrorText(record, kErrorTextNoCode), "Failed [0x0000000000000001;0x0000000000000002]");
    EXPECT_EQ(FormatErrorText(record, kErrorTextNoDescription | kErrorTextNoTrace), "0x80004005");
    EXPECT_EQ(FormatErrorText(record, kErrorTextNoTrace), "0x80004005 Failed");
    EXPECT_EQ(FormatErrorText({E_FAIL, "Ends in blanks \r\n", ""}), "0x80004005 Ends in blanks");
}

TEST(ErrorText, RefusesTextsThatDoNotStartWithANumberAndOneBlank)
{
    for (const char* text : {"", "Bad", " 0x80004005 lead", "-5 negative", "0x80004005", "0x80004005\tTab",
                             "12ab text", "0x1FFFFFFFF too wide"})
        EXPECT_FALSE(ParseErrorText(text)) << text;
}

TEST(ErrorText, ReadsDecimalAndHexNumbers)
{
    EXPECT_EQ(ParseErrorText("2147942487 decimal")->code, E_INVALIDARG);
    EXPECT_EQ(ParseErrorText("0x80070057 hex")->code, E_INVALIDARG);
    EXPECT_EQ(ParseErrorText("0x80070057 ")->description, "");
}

TEST(ErrorText, ABracketWithoutFinalBracketStaysInTheDescription)
{
    const auto parsed = ParseErrorText("0x80004005 Value [3 is out of range");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->description, "Value [3 is out of range");
    EXPECT_EQ(parsed->trace, "");

    const auto single = ParseErrorText("0x80004005 ]");
    ASSERT_TRUE(single);
    EXPECT_EQ(single->description, "]");

    // Brackets inside a description survive a round trip.
    const ErrorRecord bracketed{E_FAIL, "Section [General] is bad", "0x0000000000000001;0x0000000000000002"};
    EXPECT_EQ(ParseErrorText(FormatErrorText(bracketed)), bracketed);
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

TEST(BuildRecord, UnparsableOrForeignCodeTextStartsEmptyWithTheMessageText)
{
    const std::string garbage = "not an error text";
    const ErrorRecord fromGarbage = BuildErrorRecord(kHrNotFound, nullptr, &garbage);
    EXPECT_EQ(fromGarbage, (ErrorRecord{kHrNotFound, "Element not found", ""}));

    const std::string otherCode = "0x80004005 Other [0x0000000000000001]";
    EXPECT_EQ(BuildErrorRecord(E_INVALIDARG, nullptr, &otherCode),
              (ErrorRecord{E_INVALIDARG, "The parameter is incorrect", ""}));
}

TEST(BuildRecord, MarkedObjectIsParsedAndAddressesAddAGroup)
{
    const auto marked = MakeErrorObject("0x80070057 Bad [0x0000000000000001]", kErrorTextMarkerGuid);
    const void* address = reinterpret_cast<const void*>(0x2ULL);
    const ErrorRecord record = BuildErrorRecord(E_INVALIDARG, marked.Get(), nullptr, &address, 1);
    EXPECT_EQ(record, (ErrorRecord{E_INVALIDARG, "Bad", "0x0000000000000001;0x0000000000000002"}));
}

TEST(BuildRecord, ForeignObjectKeepsItsDescriptionAsPlainText)
{
    const auto foreign = MakeErrorObject("0x80004005 Looks like a text [0x1]", GUID{});
    const ErrorRecord record = BuildErrorRecord(E_INVALIDARG, foreign.Get(), nullptr);
    EXPECT_EQ(record, (ErrorRecord{E_INVALIDARG, "0x80004005 Looks like a text [0x1]", ""}));

    const auto empty = MakeErrorObject("", GUID{});
    EXPECT_EQ(BuildErrorRecord(E_POINTER, empty.Get(), nullptr).description, "Invalid pointer");
}

}  // namespace
}  // namespace corvane
