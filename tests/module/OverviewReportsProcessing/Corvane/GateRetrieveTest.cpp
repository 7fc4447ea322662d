// Retrieve requests through the gate: the first answer's structure, partial and
// complete polls, tolerated and fatal sub-request failures, bad cookies.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;

class GateRetrieve : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        ASSERT_EQ(MakeGate(), S_OK);
    }
    /// Names of the response's children, in order.
    static std::string Children(const QxNodePtr& response)
    {
        std::string names;
        for (const QxNodePtr& child : response.GetChildren()) names += child.GetName() + ";";
        return names;
    }
};

TEST_F(GateRetrieve, FirstAnswerCarriesTheStructureWithoutWaiting)
{
    const QxNodePtr first = Process(kThreeSubRequests);
    ASSERT_EQ(Code(first), S_OK) << Text(first, "ErrorSerialized");
    EXPECT_EQ(first.GetName(), "Dashboard");
    EXPECT_EQ(first.GetType(), "RetrieveCountersResponse");
    EXPECT_EQ(Status(first), 0);
    ASSERT_EQ(first.GetChildCount(), 6u);
    EXPECT_EQ(first.GetChild(uint64_t{0}).GetName(), "RetrieveCookie");
    EXPECT_NE(TokenOf(first), GUID{});
    for (const char* name : {"A", "B", "C"}) {
        EXPECT_EQ(SubStatus(first, name), 0) << name;
        const QxNodePtr metaInfo = first.GetChild(name).GetChild("MetaInfo", false);
        ASSERT_TRUE(metaInfo) << name;
        EXPECT_EQ(Text(metaInfo.GetChild("TimeRange"), "TimeFrom"), "2026-12-01T00:00:00Z");
    }

    // The registered request: attributes kept, the default time range for its offset, each sub-request
    // replaced by its merged query.
    const QxNodePtr copy = first.GetChild(uint64_t{1});
    EXPECT_EQ(copy.GetName(), "Dashboard");
    EXPECT_EQ(copy.GetType(), "RetrieveCountersRequest");
    EXPECT_EQ(Int(copy, "TimeZoneOffsetSec"), 3600);
    EXPECT_EQ(Int(copy.GetChild("TimeRange"), "Offset"), 3600);
    EXPECT_EQ(m_metaInfo->defaultOffsets, (std::vector<int32_t>{3600}));
    const QxNodePtr b = copy.GetChild("B");
    EXPECT_EQ(b.GetType(), "RetrieveCountersSubRequest");
    EXPECT_EQ(Text(b, "Scope"), "mine");
    EXPECT_EQ(Text(copy.GetChild("A"), "Scope"), "all");
    EXPECT_TRUE(b.GetChild("TimeRange", false));
    EXPECT_TRUE(b.GetChild("Conditions", false));
    const QxNodePtr timeRange = first.GetChild(uint64_t{2});
    EXPECT_EQ(timeRange.GetName(), "TimeRange");
    EXPECT_EQ(Int(timeRange, "Offset"), 3600);
    // Each retriever got its own query.
    EXPECT_NE(script->Query("B").find("Scope=\"mine\""), std::string::npos) << script->Query("B");
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 1u);
}

TEST_F(GateRetrieve, PartialPollsThenCompleteThenTheTokenIsGone)
{
    const GUID token = TokenOf(Process(kThreeSubRequests));

    script->Finish("B", 20);
    const QxNodePtr partial = Poll(token);
    EXPECT_EQ(Code(partial), S_OK);
    EXPECT_EQ(Status(partial), 0);
    EXPECT_EQ(SubStatus(partial, "B"), 1);
    EXPECT_EQ(SubCount(partial, "B"), 20);
    EXPECT_EQ(SubStatus(partial, "A"), 0);
    EXPECT_EQ(SubStatus(partial, "C"), 0);

    // A later poll waits for a new completion and still carries the earlier result.
    std::future<QxNodePtr> waiting = PollAsync(token);
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    script->Finish("A", 10);
    const QxNodePtr second = waiting.get();
    EXPECT_EQ(Status(second), 0);
    EXPECT_EQ(SubCount(second, "A"), 10);
    EXPECT_EQ(SubCount(second, "B"), 20);
    EXPECT_EQ(SubStatus(second, "C"), 0);

    script->Finish("C", 30);
    const QxNodePtr done = Poll(token);
    EXPECT_EQ(Status(done), 1);
    EXPECT_EQ(Code(done), S_OK);
    EXPECT_EQ(SubCount(done, "A"), 10);
    EXPECT_EQ(SubCount(done, "B"), 20);
    EXPECT_EQ(SubCount(done, "C"), 30);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 0u);

    LogCapture log;
    const QxNodePtr gone = Poll(token);
    EXPECT_EQ(Code(gone), kHrNotFound);
    EXPECT_EQ(Status(gone), 2);
    EXPECT_TRUE(gone.HasAttribute("ErrorSerialized"));
    EXPECT_EQ(gone.GetType(), "");
    EXPECT_EQ(gone.GetChildCount(), 0u);
    EXPECT_EQ(log.Count("Request not found: " + OverviewReportsProcessing::GuidToText(token)), 1u);
}

TEST_F(GateRetrieve, RequestWithoutSubRequestsCompletesOnTheSecondPoll)
{
    const QxNodePtr first = Process(R"(<RetrieveCountersRequest>
        <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="2026-02-01T00:00:00Z"/>
      </RetrieveCountersRequest>)");
    EXPECT_EQ(Status(first), 0);
    EXPECT_TRUE(m_metaInfo->defaultOffsets.empty()) << "a given time range is kept";
    EXPECT_EQ(Text(first.GetChild("TimeRange"), "TimeFrom"), "2026-01-01T00:00:00Z");
    const QxNodePtr second = Poll(TokenOf(first));
    EXPECT_EQ(Status(second), 1);
    EXPECT_EQ(Children(second), "RetrieveCookie;;TimeRange;");
}

TEST_F(GateRetrieve, NonPartialPollWaitsForEverySubRequestAndAToleratedFailureStaysInItsSubResponse)
{
    const GUID token = TokenOf(Process(kThreeSubRequests));
    script->Fail("A", static_cast<HRESULT>(0x80041911));
    std::future<QxNodePtr> waiting = PollAsync(token, "PartialResult:bool=\"false\"");
    script->Finish("B", 2);
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    script->Finish("C", 3);
    const QxNodePtr done = waiting.get();
    EXPECT_EQ(Code(done), S_OK);
    EXPECT_EQ(Status(done), 1);
    EXPECT_EQ(SubStatus(done, "A"), 2);
    const QxNodePtr a = done.GetChild("A");
    EXPECT_EQ(static_cast<uint32_t>(Int(a, "ResultCode")), 0x80041911u);
    EXPECT_NE(Text(a, "ErrorSerialized").find("scripted failure of A"), std::string::npos) << Text(a, "ErrorSerialized");
    EXPECT_EQ(SubCount(done, "B") + SubCount(done, "C"), 5);
}

TEST_F(GateRetrieve, OtherFailureFailsThePollAndDropsTheToken)
{
    const GUID token = TokenOf(Process(kThreeSubRequests));
    script->Fail("C", E_ACCESSDENIED);
    LogCapture log;
    const QxNodePtr failed = Poll(token);
    EXPECT_EQ(Code(failed), E_ACCESSDENIED);
    EXPECT_EQ(Status(failed), 2);
    EXPECT_NE(Text(failed, "ErrorSerialized").find("scripted failure of C"), std::string::npos);
    EXPECT_EQ(log.Count("Corvane::CCorvaneGate::RetrieveCountersRequest failed: 0x80070005"), 1u);
    EXPECT_EQ(log.Count("Remove request due error: "), 1u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    // Dropping the context cancelled the retrievers still waiting.
    EXPECT_EQ(script->Cancels("A"), 1);
    EXPECT_EQ(script->Cancels("B"), 1);
}

TEST_F(GateRetrieve, BadCookiesAreAnsweredWithNotFound)
{
    const QxNodePtr noToken = Process(R"(<RetrieveCountersRequest><node q:name="RetrieveCookie"/></RetrieveCountersRequest>)");
    EXPECT_EQ(Code(noToken), kHrNotFound);
    EXPECT_EQ(Status(noToken), 2);
    EXPECT_EQ(noToken.GetType(), "");
    const QxNodePtr cookieOnly = Process(R"(<RetrieveCookieRequest><node q:name="RetrieveCookie"
                                            Token:guid="{00000000-0000-0000-0000-0000000000AA}"/></RetrieveCookieRequest>)");
    EXPECT_EQ(Code(cookieOnly), kHrNotFound);
    EXPECT_FALSE(cookieOnly.HasAttribute("RetrieveStatus"));
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
}

TEST_F(GateRetrieve, CookieRequestRegistersAndTheFirstPollAnswersAtOnce)
{
    script->Finish("A", 1);
    const QxNodePtr cookie = Process(R"(<RetrieveCookieRequest q:name="Cookie">
        <RetrieveCountersSubRequest q:name="A"/></RetrieveCookieRequest>)");
    EXPECT_EQ(Code(cookie), S_OK);
    EXPECT_EQ(cookie.GetType(), "RetrieveCountersResponse");
    EXPECT_EQ(Children(cookie), "RetrieveCookie;");
    EXPECT_FALSE(cookie.HasAttribute("RetrieveStatus"));

    const QxNodePtr first = Poll(TokenOf(cookie));
    EXPECT_EQ(Status(first), 0) << "the first poll does not wait even when results are there";
    EXPECT_EQ(SubStatus(first, "A"), 0);
    EXPECT_EQ(first.GetChild(uint64_t{1}).GetType(), "RetrieveCountersRequest");
    const QxNodePtr second = Poll(TokenOf(cookie));
    EXPECT_EQ(Status(second), 1);
    EXPECT_EQ(SubCount(second, "A"), 1);
}

TEST_F(GateRetrieve, PresetsAreExpandedAndDataSourcesRemapped)
{
    ScopedMetricsConfiguration metrics{kMetricsConfiguration};
    const QxNodePtr first = Process(R"(
        <RetrieveCountersRequest>
          <RetrieveCountersSubRequest q:name="P">
            <ConditionsMerge><ConditionValues Columnn="ConditionId" Value="Failed"/></ConditionsMerge>
          </RetrieveCountersSubRequest>
          <RetrieveCountersSubRequest q:name="D">
            <ConditionsRoot q:name="Conditions">
              <ConditionValues Columnn="DataSource" Comparator="=" Value="{11111111-2222-3333-4444-555555555555}"/>
            </ConditionsRoot>
          </RetrieveCountersSubRequest>
        </RetrieveCountersRequest>)");
    ASSERT_EQ(Code(first), S_OK) << Text(first, "ErrorSerialized");
    EXPECT_EQ(Text(first.GetChild(uint64_t{1}).GetChild("P"), "PresetConditionName"), "Failed");
    EXPECT_NE(script->Query("P").find("Status"), std::string::npos) << script->Query("P");
    EXPECT_NE(script->Query("D").find("ProductId"), std::string::npos) << script->Query("D");
    EXPECT_EQ(script->Query("D").find("\"DataSource\""), std::string::npos) << script->Query("D");
    EXPECT_EQ(FreeCookieCode(TokenOf(first)), S_OK);
}

TEST_F(GateRetrieve, FailureWhileMakingTheContextRegistersNothing)
{
    script->createFailure = E_OUTOFMEMORY;
    script->createFailureAfter = 1;
    const QxNodePtr failed = Process(kThreeSubRequests);
    EXPECT_EQ(Code(failed), E_OUTOFMEMORY);
    EXPECT_EQ(Status(failed), 2);
    EXPECT_EQ(failed.GetChildCount(), 0u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 0u);
    // The one retriever already started was cancelled, so its task ended.
    EXPECT_EQ(script->created.load(), 1);
}

}  // namespace
}  // namespace cvn::test
