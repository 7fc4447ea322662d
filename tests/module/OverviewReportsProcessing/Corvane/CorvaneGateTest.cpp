// The gate over scripted components: dispatch by request type with failures answered
// inside the response, configuration, the retrieve requests (first answer, partial and
// complete polls, tolerated and fatal sub-request failures, bad cookies), the registry
// of requests (freeing, expiry on a manual clock, cancellation, polls in parallel), and
// the reporting database check (what is sent, which answers are cached and for how long).
#include <gtest/gtest.h>

#include "common/Helpers/Clock.h"
#include "common/ServiceLayer/RequestContext.h"
#include "module/OverviewReportsProcessing/Corvane/SqlConnectionVerifier.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;

class CorvaneGateTest : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        ASSERT_EQ(MakeGate(), S_OK);
    }
    GUID Register(std::string_view request = kOneSubRequest) { return TokenOf(Process(request)); }
    /// Names of the response's children, in order.
    static std::string Children(const QxNodePtr& response)
    {
        std::string names;
        for (const QxNodePtr& child : response.GetChildren()) names += child.GetName() + ";";
        return names;
    }

    static constexpr std::string_view kOneSubRequest =
        R"(<RetrieveCookieRequest><RetrieveCountersSubRequest q:name="A"/></RetrieveCookieRequest>)";
};

TEST_F(CorvaneGateTest, UnknownRequestTypeIsAnsweredAndLoggedOnceNullArgumentsFail)
{
    LogCapture log;
    const QxNodePtr response = Process(R"(<FetchEverythingRequest q:name="Mine" Secret="x"/>)");
    ASSERT_TRUE(response);
    EXPECT_EQ(response.GetName(), "Mine");
    EXPECT_EQ(response.GetType(), "");
    EXPECT_EQ(static_cast<uint32_t>(Code(response)), 0x80040513u);
    EXPECT_EQ(Text(response, "ErrorSerialized").rfind("0x80040513 ", 0), 0u) << Text(response, "ErrorSerialized");
    EXPECT_EQ(log.Count("Unknown request: "), 1u);
    EXPECT_EQ(log.Count("| ERR  |"), log.Count("Unknown request: ")) << "no other ERR line";

    // The gate keeps serving.
    const QxNodePtr next = Process(R"(<FreeCookieRequest q:name="Free"/>)");
    EXPECT_EQ(Code(next), S_OK);
    EXPECT_FALSE(next.HasAttribute("ErrorSerialized"));
    EXPECT_EQ(next.GetChildCount(), 0u);

    IQxNode* const marker = reinterpret_cast<IQxNode*>(0x1234);
    IQxNode* untouched = marker;
    EXPECT_EQ(m_processor->ProcessRequest(nullptr, &untouched), E_POINTER);
    EXPECT_EQ(untouched, marker);
    EXPECT_EQ(m_processor->ProcessRequest(Tree("<FreeCookieRequest/>").Get(), nullptr), E_POINTER);
}

// The method request copies the provider's answer, the time range asks with the caller's offset.
TEST_F(CorvaneGateTest, MetaInfoRequestsAreTheProvidersAnswers)
{
    const QxNodePtr response = Process(R"(
        <GetRetrieveMethodRequest q:name="Method" RetrieveMethod:i32="0">
          <ConditionsRoot q:name="Conditions"/>
        </GetRetrieveMethodRequest>)");
    EXPECT_EQ(response.GetName(), "Method");
    EXPECT_EQ(response.GetType(), "");
    EXPECT_EQ(response.GetChildCount(), 0u);
    EXPECT_EQ(Int(response, "RetrieveMethod"), 2);
    EXPECT_EQ(Text(response, "Reason"), "scripted");
    EXPECT_EQ(Code(response), S_OK) << "the dispatch writes its own code over the copied one";
    ASSERT_EQ(m_metaInfo->methodRequests.size(), 1u);
    EXPECT_NE(m_metaInfo->methodRequests[0].find("ConditionsRoot"), std::string::npos);

    const QxNodePtr plain = Process(R"(<RetrieveTimeRangeRequest q:name="Range"/>)");
    Process(R"(<RetrieveTimeRangeRequest TimeZoneOffsetSec:i32="-7200"/>)");
    EXPECT_EQ(m_metaInfo->availableOffsets, (std::vector<int32_t>{0, -7200}));
    ASSERT_EQ(plain.GetChildCount(), 1u);
    EXPECT_EQ(plain.GetChild(uint64_t{0}).GetName(), "TimeRange");
    EXPECT_EQ(Text(plain.GetChild(uint64_t{0}), "TimeFrom"), "2020-01-01T00:00:00Z");
    EXPECT_EQ(Code(plain), S_OK);
    EXPECT_EQ(plain.GetType(), "");

    // A choice the provider could not make is answered with the provider's code and error (its trace
    // continued by the gate's).
    const std::string refusal = "0x8007000D The fast method is disabled. [0x00000001,0x00000002";
    m_metaInfo->methodAnswer = R"(<node ResultCode:i32="-2147024883" ErrorSerialized=")" + refusal + R"(]"/>)";
    const QxNodePtr refused = Process(R"(<GetRetrieveMethodRequest RetrieveMethod:i32="1"/>)");
    EXPECT_EQ(Code(refused), kHrInvalidData);
    EXPECT_EQ(Text(refused, "ErrorSerialized").rfind(refusal, 0), 0u) << Text(refused, "ErrorSerialized");
    EXPECT_FALSE(refused.HasAttribute("RetrieveMethod"));

    LogCapture log;
    m_metaInfo->methodFailure = E_ACCESSDENIED;
    const QxNodePtr failed = Process("<GetRetrieveMethodRequest/>");
    EXPECT_EQ(Code(failed), E_ACCESSDENIED);
    EXPECT_TRUE(failed.HasAttribute("ErrorSerialized"));
    EXPECT_FALSE(failed.HasAttribute("RetrieveMethod"));
    m_metaInfo->availableFailure = E_FAIL;
    const QxNodePtr noRange = Process("<RetrieveTimeRangeRequest/>");
    EXPECT_EQ(Code(noRange), E_FAIL);
    EXPECT_EQ(noRange.GetChildCount(), 0u);
    EXPECT_EQ(log.Count("Corvane::CCorvaneGate::RetrieveTimeRangeRequest failed: 0x80004005"), 1u);
}

// Each required key, in the order the gate reads them; removing one fails with 0x80070490.
TEST_F(CorvaneGateTest, MissingConfigurationKeysOrAnUnknownProviderFailConfigure)
{
    const char* const keys[] = {"DataSourceMapping", "RetrieveCounters", "MetaInfoProviderNameInstance",
                                "ReportingSettingsCfgPath", "TtlRequest", "GarbageCollectorRoutineInterval"};
    for (const char* key : keys) {
        SCOPED_TRACE(key);
        QxNodePtr configuration = QxNodePtr::Parse(kGateConfiguration);
        if (QxNodePtr child = configuration.GetChild(key, false)) {
            configuration.RemoveChild(child);
        } else {
            configuration.DeleteAttribute(key, true);
        }
        LogCapture log;
        ComPtr<IConfigurableComponent> gate;
        ASSERT_EQ(ModuleObject::Instance().CreateInstance(&Corvane::CLSID_CorvaneGate, &IConfigurableComponent::kIid,
                                                          gate.PutVoid()),
                  S_OK);
        EXPECT_EQ(gate->Configure(configuration.Get()), kHrNotFound);
        EXPECT_EQ(log.Count("Corvane::CCorvaneGate::Configure failed: 0x80070490"), 1u);
        // The failure guard shut the gate down: releasing it leaves no worker holding it.
        EXPECT_EQ(gate->Configure(nullptr), E_POINTER);
    }
    QxNodePtr configuration = QxNodePtr::Parse(kGateConfiguration);
    configuration.SetAttribute("MetaInfoProviderNameInstance", "Nobody.Here");
    EXPECT_EQ(Reconfigure(configuration.ToText()), kHrNotFound) << "an unknown meta info provider";
    // Shut down twice, configured again twice.
    EXPECT_EQ(m_gate->Shutdown(), S_OK);
    EXPECT_EQ(m_gate->Shutdown(), S_OK);
    EXPECT_EQ(Reconfigure(), S_OK);
    EXPECT_EQ(Reconfigure(), S_OK);
}

TEST_F(CorvaneGateTest, FirstAnswerCarriesTheStructureWithoutWaiting)
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

TEST_F(CorvaneGateTest, PartialPollsThenCompleteThenTheTokenIsGone)
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
    EXPECT_EQ(log.Count("Request not found: " + GuidToText(token)), 1u);
}

// A finished sub-request goes out with the next poll, whatever the others do. Answers list the
// sub-requests in the order the context walks them; the last one finishes while the first never
// does, and a ten minute wait per step would hold a poll that waited on the first.
TEST_F(CorvaneGateTest, AFinishedSubRequestIsNotHeldBehindAnUnfinishedOne)
{
    const QxNodePtr configuration = Tree(kGateConfiguration);
    configuration.GetChild("RetrieveCounters").SetAttribute("WaitDataInterval", int64_t{600000});
    ASSERT_EQ(Reconfigure(configuration.ToText()), S_OK);
    const QxNodePtr first = Process(R"(<RetrieveCountersRequest>
        <RetrieveCountersSubRequest q:name="A"/><RetrieveCountersSubRequest q:name="B"/></RetrieveCountersRequest>)");
    std::vector<std::string> order;
    for (const QxNodePtr& child : first.GetChildren())
        if (child.GetType() == "RetrieveCountersSubResponse") order.push_back(child.GetName());
    ASSERT_EQ(order.size(), 2u);

    std::future<QxNodePtr> waiting = PollAsync(TokenOf(first));
    script->Finish(order[1], 2);
    const bool answered = waiting.wait_for(kWaitLimit) == std::future_status::ready;
    if (!answered) script->Finish(order[0], 1);  // lets a poll stuck on it end
    const QxNodePtr partial = waiting.get();
    ASSERT_TRUE(answered) << "the poll waited on " << order[0];
    EXPECT_EQ(Status(partial), 0);
    EXPECT_EQ(SubCount(partial, order[1]), 2);
    EXPECT_EQ(SubStatus(partial, order[0]), 0);

    script->Finish(order[0], 1);
    const QxNodePtr done = Poll(TokenOf(first));
    EXPECT_EQ(Status(done), 1);
    EXPECT_EQ(SubCount(done, order[0]), 1);
}

// A cookie request registers only; its first poll answers at once even with results there. A data
// request is served as a counters request; one without sub-requests completes on the second poll.
TEST_F(CorvaneGateTest, CookieDataAndEmptyRequests)
{
    script->Finish("A", 1);
    const QxNodePtr cookie = Process(R"(<RetrieveCookieRequest q:name="Cookie">
        <RetrieveCountersSubRequest q:name="A"/></RetrieveCookieRequest>)");
    EXPECT_EQ(Code(cookie), S_OK);
    EXPECT_EQ(cookie.GetType(), "RetrieveCountersResponse");
    EXPECT_EQ(Children(cookie), "RetrieveCookie;");
    EXPECT_FALSE(cookie.HasAttribute("RetrieveStatus"));
    const QxNodePtr first = Poll(TokenOf(cookie));
    EXPECT_EQ(Status(first), 0);
    EXPECT_EQ(SubStatus(first, "A"), 0);
    EXPECT_EQ(first.GetChild(uint64_t{1}).GetType(), "RetrieveCountersRequest");
    const QxNodePtr second = Poll(TokenOf(cookie));
    EXPECT_EQ(Status(second), 1);
    EXPECT_EQ(SubCount(second, "A"), 1);

    const QxNodePtr data = Process(R"(<RetrieveCountersDataRequest q:name="D"><RetrieveCountersSubRequest q:name="X"/>
                                      </RetrieveCountersDataRequest>)");
    EXPECT_EQ(data.GetType(), "RetrieveCountersResponse");
    EXPECT_EQ(Status(data), 0);
    EXPECT_EQ(SubStatus(data, "X"), 0);
    script->Finish("X", 4);
    const QxNodePtr dataDone = Process(CookieRequest("RetrieveCountersDataRequest", TokenOf(data)));
    EXPECT_EQ(Status(dataDone), 1);
    EXPECT_EQ(SubCount(dataDone, "X"), 4);

    const size_t defaults = m_metaInfo->defaultOffsets.size();
    const QxNodePtr empty = Process(R"(<RetrieveCountersRequest>
        <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="2026-02-01T00:00:00Z"/>
      </RetrieveCountersRequest>)");
    EXPECT_EQ(Status(empty), 0);
    EXPECT_EQ(m_metaInfo->defaultOffsets.size(), defaults) << "a given time range is kept";
    EXPECT_EQ(Text(empty.GetChild("TimeRange"), "TimeFrom"), "2026-01-01T00:00:00Z");
    const QxNodePtr emptyDone = Poll(TokenOf(empty));
    EXPECT_EQ(Status(emptyDone), 1);
    EXPECT_EQ(Children(emptyDone), "RetrieveCookie;;TimeRange;");
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
}

TEST_F(CorvaneGateTest, NonPartialPollWaitsForEverySubRequestAndAToleratedFailureStaysInItsSubResponse)
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

TEST_F(CorvaneGateTest, OtherFailureFailsThePollOrTheRequestAndDropsTheToken)
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

    // A failure while making the context registers nothing.
    script->createFailure = E_OUTOFMEMORY;
    script->createFailureAfter = script->created + 1;
    const QxNodePtr refused = Process(kThreeSubRequests);
    EXPECT_EQ(Code(refused), E_OUTOFMEMORY);
    EXPECT_EQ(Status(refused), 2);
    EXPECT_EQ(refused.GetChildCount(), 0u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 0u);
    // The one retriever already started was cancelled, so its task ended.
    EXPECT_EQ(script->created.load(), script->createFailureAfter.load());
}

// A request with more sub-requests than "MaxSubRequests" of the retrieve settings (256 when absent) is
// refused before anything starts. Each query is made from its own sub-request and the request's other
// parts only; a replacement reaching into another sub-request still finds it.
TEST_F(CorvaneGateTest, SubRequestsAreLimitedAndEachQueryIsMadeFromWhatItReads)
{
    std::string tooMany = "<RetrieveCountersRequest>";
    for (int i = 0; i < 257; ++i) tooMany += "<RetrieveCountersSubRequest q:name=\"S" + std::to_string(i) + "\"/>";
    const QxNodePtr refused = Process(tooMany + "</RetrieveCountersRequest>");
    EXPECT_EQ(Code(refused), kHrInvalidData);
    EXPECT_NE(Text(refused, "ErrorSerialized").find("257 sub-requests; at most 256 are allowed (MaxSubRequests)"),
              std::string::npos)
        << Text(refused, "ErrorSerialized");
    EXPECT_EQ(Status(refused), 2);
    EXPECT_EQ(script->created.load(), 0) << "nothing was started";

    const QxNodePtr replaced = Process(R"(<RetrieveCountersRequest>
        <ConditionsRoot q:name="Conditions">
          <Condition q:name="Who" operator="AND"><ConditionValues Columnn="Who" Value="alice"/></Condition>
        </ConditionsRoot>
        <RetrieveCountersSubRequest q:name="A"><node q:name="Marker"/></RetrieveCountersSubRequest>
        <RetrieveCountersSubRequest q:name="B"><node q:name="Replacement">
          <Condition q:name="Who" Path="Conditions\Who" operator="AND"><ConditionValues Columnn="Who" Value="bob"/></Condition>
        </node></RetrieveCountersSubRequest>
        <RetrieveCountersSubRequest q:name="C"><node q:name="Replacement"><node q:name="Marker" Path="A\Marker"/></node>
        </RetrieveCountersSubRequest>
      </RetrieveCountersRequest>)");
    ASSERT_EQ(Code(replaced), S_OK) << Text(replaced, "ErrorSerialized");
    EXPECT_NE(script->Query("B").find("bob"), std::string::npos) << script->Query("B");
    EXPECT_EQ(script->Query("B").find("alice"), std::string::npos) << script->Query("B");
    EXPECT_NE(script->Query("C").find("alice"), std::string::npos) << script->Query("C");
    EXPECT_EQ(FreeCookieCode(TokenOf(replaced)), S_OK);

    // A configured limit; a negative one is refused naming it.
    for (const auto& [limit, code] : {std::pair{2, kHrInvalidData}, {3, S_OK}, {-1, kHrInvalidData}}) {
        const QxNodePtr configuration = Tree(kGateConfiguration);
        configuration.GetChild("RetrieveCounters").SetAttribute("MaxSubRequests", int32_t{limit});
        ASSERT_EQ(Reconfigure(configuration.ToText()), S_OK);
        const QxNodePtr answer = Process(kThreeSubRequests);
        EXPECT_EQ(Code(answer), code) << limit;
        if (code == S_OK) {
            EXPECT_EQ(FreeCookieCode(TokenOf(answer)), S_OK);
        } else {
            EXPECT_NE(Text(answer, "ErrorSerialized").find("MaxSubRequests"), std::string::npos) << limit;
        }
    }
    // A poll sleeps up to WaitDataInterval per step; without a positive one it would spin.
    const QxNodePtr configuration = Tree(kGateConfiguration);
    configuration.GetChild("RetrieveCounters").SetAttribute("WaitDataInterval", int64_t{0});
    ASSERT_EQ(Reconfigure(configuration.ToText()), S_OK);
    const QxNodePtr spinning = Process(kThreeSubRequests);
    EXPECT_EQ(Code(spinning), kHrInvalidData);
    EXPECT_NE(Text(spinning, "ErrorSerialized").find("WaitDataInterval is 0"), std::string::npos)
        << Text(spinning, "ErrorSerialized");
    EXPECT_EQ(Status(spinning), 2);
}

TEST_F(CorvaneGateTest, PresetsAreExpandedAndDataSourcesRemapped)
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

// Freeing forgets the request and cancels its retrievers; cookies without a token or request are not found.
TEST_F(CorvaneGateTest, FreeCookieAndBadCookies)
{
    const GUID token = Register();
    EXPECT_EQ(Process("<FreeCookieRequest/>").GetChildCount(), 0u);
    EXPECT_EQ(FreeCookieCode(MakeGuid(9, 9, 9, 9, 9)), S_OK);
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    EXPECT_EQ(FreeCookieCode(token), S_OK);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 0u);
    EXPECT_EQ(script->Cancels("A"), 1);
    EXPECT_EQ(Code(Process(R"(<FreeCookieRequest><node q:name="RetrieveCookie"/></FreeCookieRequest>)")), kHrNotFound);

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

TEST_F(CorvaneGateTest, FreeDuringARunningPollLetsThePollAnswer)
{
    const GUID token = Register();
    ASSERT_EQ(Status(Poll(token)), 0);  // consumes the immediate first answer
    LogCapture log;
    std::future<QxNodePtr> waiting = PollAsync(token);
    EXPECT_EQ(waiting.wait_for(30ms), std::future_status::timeout);
    EXPECT_EQ(FreeCookieCode(token), S_OK);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 1u) << "the running poll holds it";
    script->Finish("A", 7);
    const QxNodePtr answer = waiting.get();
    EXPECT_EQ(Status(answer), 1);
    EXPECT_EQ(SubCount(answer, "A"), 7);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 0u);
    EXPECT_EQ(log.Count("Remove request with id: " + GuidToText(token)), 2u) << "by the free, then by the poll";
}

// A request lives for the time to live (1 s) or, when longer, one waiting step of its polls.
TEST_F(CorvaneGateTest, UnpolledRequestExpiresAfterTheTimeToLiveOrALongerWaitInterval)
{
    for (const int64_t waitMs : {10, 1500}) {
        SCOPED_TRACE(waitMs);
        const QxNodePtr configuration = Tree(kGateConfiguration);
        configuration.GetChild("RetrieveCounters").SetAttribute("WaitDataInterval", waitMs);
        ASSERT_EQ(Reconfigure(configuration.ToText()), S_OK);
        ManualClock clock;
        const GUID token = Register();
        clock.Advance(std::chrono::milliseconds(std::max<int64_t>(1000, waitMs) - 1));
        Gate().GarbageCollector();
        EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
        LogCapture log;
        clock.Advance(1ms);
        Gate().GarbageCollector();
        EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
        EXPECT_EQ(log.Count("Removed request with token = " + GuidToText(token) + ". Cause expired"), 1u);
        EXPECT_EQ(Code(Poll(token)), kHrNotFound);
    }
    EXPECT_EQ(script->Cancels("A"), 2);
}

/// The caller's request as a poll sees it at each waiting step: never cancelled, and, until released,
/// holding the step there, inside the poll's wait and its context's lock.
class HeldRequest : public Implements<IRequestContext, IRequestState> {
public:
    HRESULT IsCancelled(BOOL* cancelled) noexcept override
    {
        std::unique_lock lock(m_lock);
        ++m_steps;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_held; });
        *cancelled = 0;
        return S_OK;
    }
    HRESULT Cancel() noexcept override { return E_NOTIMPL; }
    HRESULT GetRequestId(GUID*) noexcept override { return E_NOTIMPL; }
    HRESULT GetCreationTime(int64_t*) noexcept override { return E_NOTIMPL; }
    HRESULT GetCallerName(char16_t*, uint32_t*) noexcept override { return E_NOTIMPL; }
    HRESULT GetKind(uint32_t* kind) noexcept override
    {
        *kind = kRequestContextCurrent;
        return S_OK;
    }
    HRESULT SetCallerName(const char16_t*) noexcept override { return E_NOTIMPL; }
    HRESULT GetRequestState(IRequestState** state) noexcept override
    {
        *state = ComPtr<IRequestState>(this).Detach();
        return S_OK;
    }

    /// Waits until the poll has reached its waiting steps this many times in all.
    bool WaitForSteps(int steps)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kWaitLimit, [&] { return m_steps >= steps; });
    }
    void Let()
    {
        {
            std::lock_guard lock(m_lock);
            m_held = false;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_steps = 0;
    bool m_held = true;
};

// A poll waiting for its sub-requests holds its context's lock: neither the collector nor another
// client's request waits for it, and each of its waiting steps keeps its request alive.
TEST_F(CorvaneGateTest, AWaitingPollStallsNoOtherRequestAndIsNotCollected)
{
    ManualClock clock;
    const GUID token = TokenOf(Process(R"(<RetrieveCountersRequest>
        <RetrieveCountersSubRequest q:name="A"/><RetrieveCountersSubRequest q:name="B"/></RetrieveCountersRequest>)"));
    const GUID other =
        Register(R"(<RetrieveCookieRequest><RetrieveCountersSubRequest q:name="C"/></RetrieveCookieRequest>)");
    const auto held = CreateComponent<HeldRequest>();
    std::future<QxNodePtr> waiting = std::async(std::launch::async, [&] {
        CRequestContextScope bound(held.Get());
        return Poll(token);
    });
    ASSERT_TRUE(held->WaitForSteps(1));

    std::future<HRESULT> others = std::async(std::launch::async, [&] {
        Gate().GarbageCollector();
        return FreeCookieCode(other);
    });
    EXPECT_EQ(others.wait_for(kWaitLimit), std::future_status::ready) << "the collector waited for the poll";

    // The steps after the clock moved refresh the access time.
    clock.Advance(3000ms);
    held->Let();
    ASSERT_TRUE(held->WaitForSteps(3));
    script->Finish("A", 1);
    EXPECT_EQ(Status(waiting.get()), 0);
    EXPECT_EQ(others.get(), S_OK);
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    Gate().GarbageCollector();
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u) << "the waiting steps refreshed the access time";
    clock.Advance(1000ms);
    Gate().GarbageCollector();
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
}

TEST_F(CorvaneGateTest, TheWorkerCollectsOnItsOwn)
{
    // Configured under the manual clock, the worker sleeps on it: its hour passes at once.
    ManualClock clock;
    ASSERT_EQ(Reconfigure(), S_OK);
    Register();
    clock.Advance(3600s);
    EXPECT_TRUE(WaitUntil([&] { return Gate().RegisteredContextCount() == 0; }));
    // The worker reads the manual clock: stop it before the clock goes.
    EXPECT_EQ(m_gate->Shutdown(), S_OK);
}

TEST_F(CorvaneGateTest, PollsOfDifferentTokensRunInParallel)
{
    const GUID first = Register();
    const GUID second = Register(R"(<RetrieveCookieRequest><RetrieveCountersSubRequest q:name="B"/></RetrieveCookieRequest>)");
    ASSERT_EQ(Status(Poll(first)), 0);
    ASSERT_EQ(Status(Poll(second)), 0);
    std::future<QxNodePtr> slow = PollAsync(first);
    std::future<QxNodePtr> fast = PollAsync(second);
    EXPECT_EQ(fast.wait_for(20ms), std::future_status::timeout);
    script->Finish("B", 2);
    const QxNodePtr fastAnswer = fast.get();
    EXPECT_EQ(Status(fastAnswer), 1);
    EXPECT_EQ(slow.wait_for(0ms), std::future_status::timeout) << "the other poll still waits";
    // A new request is served while a poll waits.
    EXPECT_EQ(Code(Process("<RetrieveTimeRangeRequest/>")), S_OK);
    script->Finish("A", 1);
    EXPECT_EQ(Status(slow.get()), 1);
}

TEST_F(CorvaneGateTest, CallerCancellationStopsThePoll)
{
    const GUID token = Register(R"(<RetrieveCookieRequest>
        <RetrieveCountersSubRequest q:name="A"/><RetrieveCountersSubRequest q:name="B"/></RetrieveCookieRequest>)");
    ASSERT_EQ(Status(Poll(token)), 0);
    const auto context = m_host.RequestContexts()->CreateContext(kRequestContextCurrent, "dashboard");
    std::future<QxNodePtr> waiting = std::async(std::launch::async, [&] {
        CRequestContextScope bound(context.Get());
        return Poll(token);
    });
    EXPECT_EQ(waiting.wait_for(30ms), std::future_status::timeout);
    LogCapture log;
    context->Cancel();
    const QxNodePtr answer = waiting.get();
    EXPECT_EQ(Status(answer), 2);
    EXPECT_EQ(Code(answer), S_OK);
    EXPECT_EQ(log.Count("Cancel request with id:" + GuidToText(token)), 1u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_GE(script->Cancels("A"), 1);
    EXPECT_GE(script->Cancels("B"), 1);
}

constexpr HRESULT kDatabaseDown = static_cast<HRESULT>(0x80040C05);

class SqlConnectionVerifierTest : public GateTest {
protected:
    Corvane::SqlConnectionVerifier Make(std::chrono::seconds cache = 30s)
    {
        return Corvane::SqlConnectionVerifier(std::string(kReportingSettingsPath), cache);
    }
    ManualClock m_clock;
};

TEST_F(SqlConnectionVerifierTest, SendsTheSettingsNeverReusesASuccessAndCachesAReportedFailure)
{
    auto verifier = Make();
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK);
    EXPECT_EQ(m_databaseGate->Calls(), 2u);
    const QxNodePtr sent = QxNodePtr::Parse(m_databaseGate->LastRequest());
    EXPECT_EQ(sent.GetName(), "CheckDatabaseRequest");
    EXPECT_EQ(sent.GetType(), "");
    EXPECT_EQ(Int(sent, "AdjustTarget"), 0);
    ASSERT_EQ(sent.GetChildCount(), 1u);
    EXPECT_EQ(Text(sent.GetChild(uint64_t{0}), "Server"), "db1");

    // A reported failure is cached for the cache time, if any.
    m_databaseGate->answerCode = kDatabaseDown;
    const HRX first = verifier.CheckSqlConnection();
    EXPECT_EQ(first.Code(), kDatabaseDown);
    EXPECT_NE(ErrorText(first).find("database is down"), std::string::npos) << ErrorText(first);
    m_databaseGate->answerCode = S_OK;
    m_clock.Advance(29999ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kDatabaseDown);
    EXPECT_EQ(m_databaseGate->Calls(), 3u);
    m_clock.Advance(1ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK);
    EXPECT_EQ(m_databaseGate->Calls(), 4u);

    // The wall clock set back keeps a cached failure for its full time.
    m_databaseGate->answerCode = kDatabaseDown;
    verifier.CheckSqlConnection();
    m_clock.Advance(-60000ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kDatabaseDown);
    m_clock.Advance(89999ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kDatabaseDown);
    EXPECT_EQ(m_databaseGate->Calls(), 5u);
    m_clock.Advance(1ms);
    verifier.CheckSqlConnection();
    EXPECT_EQ(m_databaseGate->Calls(), 6u);

    auto uncached = Make(0s);  // no cache time: asks every time
    uncached.CheckSqlConnection();
    uncached.CheckSqlConnection();
    EXPECT_EQ(m_databaseGate->Calls(), 8u);
}

TEST_F(SqlConnectionVerifierTest, FailuresToAskAreNotCachedAndWithoutTheServiceNothingIsMade)
{
    auto verifier = Make();
    WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath,
                    QxNodePtr::Parse(R"(<node Enabled:bool="false"/>)"));
    LogCapture log;
    EXPECT_EQ(static_cast<uint32_t>(verifier.CheckSqlConnection().Code()), 0x80040C03u);
    EXPECT_EQ(m_databaseGate->Calls(), 0u);
    EXPECT_EQ(log.Count("SqlConnectionVerifier::CheckSqlConnection failed: 0x80040C03"), 1u);

    WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath, QxNodePtr::Parse(R"(<node Server="x"/>)"));
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kHrNotFound);

    WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath,
                    QxNodePtr::Parse(R"(<node Enabled:bool="true"/>)"));
    m_databaseGate->callFailure = E_ACCESSDENIED;
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), E_ACCESSDENIED);
    m_databaseGate->callFailure = S_OK;
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK) << "none of the failures above was cached";

    // Without the service no verifier, and so no gate, is made.
    m_host.ServiceClient()->UnregisterService("Service.DatabaseManagementGate");
    EXPECT_EQ(CodeOf([&] { Make(); }), kHrNotFound);
    EXPECT_EQ(MakeGate(), kHrNotFound);
}

TEST_F(SqlConnectionVerifierTest, AFailingCheckRefusesNewRequestsOnly)
{
    QxNodePtr configuration = QxNodePtr::Parse(kGateConfiguration);
    configuration.DeleteAttribute("SqlConnectionCacheInSec", true);
    ASSERT_EQ(MakeGate(configuration.ToText()), S_OK);
    const GUID token = TokenOf(Process(kThreeSubRequests));
    m_databaseGate->answerCode = kDatabaseDown;
    const QxNodePtr refused = Process(kThreeSubRequests);
    EXPECT_EQ(Code(refused), kDatabaseDown);
    EXPECT_EQ(Status(refused), 2);
    EXPECT_EQ(refused.GetChildCount(), 0u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    // The default cache time is 30 s.
    m_databaseGate->answerCode = S_OK;
    m_clock.Advance(29s);
    EXPECT_EQ(Code(Process(kThreeSubRequests)), kDatabaseDown);
    m_clock.Advance(1s);
    const GUID second = TokenOf(Process(kThreeSubRequests));
    EXPECT_EQ(Gate().RegisteredContextCount(), 2u);
    // Polls of registered requests do not check.
    const size_t calls = m_databaseGate->Calls();
    script->Finish("A", 1);
    EXPECT_EQ(Status(Poll(token)), 0);
    EXPECT_EQ(m_databaseGate->Calls(), calls);
    EXPECT_EQ(FreeCookieCode(token), S_OK);
    EXPECT_EQ(FreeCookieCode(second), S_OK);
}

}  // namespace
}  // namespace cvn::test
