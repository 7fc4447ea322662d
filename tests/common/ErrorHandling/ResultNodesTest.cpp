// Results written into and read back from the attribute pairs of response nodes.
#include <gtest/gtest.h>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ErrorRecord.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace cvn {
namespace {

class ResultNodesTest : public testing::TestWithParam<ResultAttributes> {};

HRX RaisedFailure()
{
    try {
        ThrowHr(kHrInvalidData);
    } catch (const HRX& error) {
        return error;
    }
    return HRX();
}

TEST_P(ResultNodesTest, FailureTravelsThroughTheNodeWithItsTraceAndSuccessWritesOnlyTheCode)
{
    const ResultAttributes names = GetParam();
    const QxNodePtr success = QxNodePtr::Create("Response");
    WriteResultToNode(success, HRX(S_OK), names);
    EXPECT_EQ(success.GetRequiredAttribute<int32_t>(names.code), S_OK);
    EXPECT_FALSE(success.HasAttribute(names.text));
    EXPECT_EQ(ReadResultFromNode(success, names).Code(), S_OK);

    const QxNodePtr response = QxNodePtr::Create("Response");
    WriteResultToNode(response, RaisedFailure(), names);

    EXPECT_EQ(response.GetRequiredAttribute<int32_t>(names.code), kHrInvalidData);
    const auto written = ParseErrorText(response.GetRequiredAttribute<std::string>(names.text));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->description, "The data is invalid");
    ASSERT_FALSE(written->trace.empty());

    SkSetErrorInfo(0, nullptr);
    const HRX read = ReadResultFromNode(response, names);
    EXPECT_EQ(read.Code(), kHrInvalidData);
    ASSERT_NE(read.ErrorInfo(), nullptr);
    // Thrown on and converted again, the error keeps the first trace and gains a second group.
    EXPECT_EQ(ReturnCodeFromHrx(read), kHrInvalidData);
    const auto again = ParseErrorText(SerializeCurrentError(kHrInvalidData));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->description, written->description);
    EXPECT_EQ(again->trace.rfind(written->trace + ";", 0), 0u) << again->trace;
}

// Named after the code attribute: ctest lists the names once and runs each by name, so they must be stable.
INSTANTIATE_TEST_SUITE_P(AttributePairs, ResultNodesTest,
                         testing::Values(kResultCodeAttributes, kErrorResultAttributes, kResponseResultAttributes),
                         [](const testing::TestParamInfo<ResultAttributes>& info) {
                             return std::string(info.param.code);
                         });

TEST(ReadResult, AbsentCodeIsSuccessNoTextTakesTheThreadsErrorObjectAndForeignTextTheMessageText)
{
    EXPECT_EQ(ReadResultFromNode(QxNodePtr::Create("Empty")).Code(), S_OK);
    const QxNodePtr response = QxNodePtr::Create("Response");
    response.SetAttribute("ResultCode", static_cast<int32_t>(E_ACCESSDENIED));
    const auto held = MakeErrorObject("held by the thread", GUID{});
    SkSetErrorInfo(0, held.Get());
    const HRX read = ReadResultFromNode(response);
    EXPECT_EQ(read.ErrorInfo(), held.Get());
    EXPECT_THROW(read.ThrowIfFailed(), HRX);

    // A text of another code is foreign: the message text stands in.
    response.SetAttribute("ResponseResult", static_cast<int32_t>(E_FAIL));
    response.SetAttribute("ErrSerialized", "0x80070005 Some other error [0x0000000000000001]");
    const auto record = ParseErrorText(ErrorText(ReadResultFromNode(response, kResponseResultAttributes)));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->code, E_FAIL);
    EXPECT_EQ(record->description, "Unspecified error");
}

}  // namespace
}  // namespace cvn
