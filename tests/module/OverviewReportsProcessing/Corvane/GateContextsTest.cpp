// The registry of retrieve requests: freeing, expiry by the garbage collector
// (on a manual clock), cancellation by the caller and polls running in parallel.
#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"
#include "common/Helpers/Clock.h"
#include "common/ServiceLayer/RequestContext.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kOneSubRequest = R"(<RetrieveCookieRequest><RetrieveCountersSubRequest q:name="A"/>
                                               </RetrieveCookieRequest>)";

class GateContexts : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        ASSERT_EQ(MakeGate(), S_OK);
    }
    GUID Register(std::string_view request = kOneSubRequest) { return TokenOf(Process(request)); }
};

TEST_F(GateContexts, FreeCookieForgetsTheRequestAndCancelsItsRetrievers)
{
    const GUID token = Register();
    EXPECT_EQ(Process("<FreeCookieRequest/>").GetChildCount(), 0u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    EXPECT_EQ(FreeCookieCode(MakeGuid(9, 9, 9, 9, 9)), S_OK);
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    EXPECT_EQ(FreeCookieCode(token), S_OK);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), 0u);
    EXPECT_EQ(script->Cancels("A"), 1);
    EXPECT_EQ(Code(Process(R"(<FreeCookieRequest><node q:name="RetrieveCookie"/></FreeCookieRequest>)")), kHrNotFound);
}

TEST_F(GateContexts, FreeDuringARunningPollLetsThePollAnswer)
{
    const GUID token = Register();
    ASSERT_EQ(Status(Poll(token)), 0);  // consumes the immediate first answer
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
}

// A request lives for the time to live (1 s) or, when longer, one waiting step of its polls.
TEST_F(GateContexts, UnpolledRequestExpiresAfterTheTimeToLiveOrALongerWaitInterval)
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
        EXPECT_EQ(log.Count("Removed request with token = " + OverviewReportsProcessing::GuidToText(token) +
                            ". Cause expired"),
                  1u);
        EXPECT_EQ(Code(Poll(token)), kHrNotFound);
    }
    EXPECT_EQ(script->Cancels("A"), 2);
}

TEST_F(GateContexts, PolledRequestIsNotCollectedWhileItsPollsWait)
{
    ManualClock clock;
    const GUID token = TokenOf(Process(R"(<RetrieveCountersRequest>
        <RetrieveCountersSubRequest q:name="A"/><RetrieveCountersSubRequest q:name="B"/></RetrieveCountersRequest>)"));
    std::future<QxNodePtr> waiting = PollAsync(token);
    EXPECT_EQ(waiting.wait_for(20ms), std::future_status::timeout);
    clock.Advance(3000ms);
    std::this_thread::sleep_for(40ms);
    script->Finish("A", 1);
    EXPECT_EQ(Status(waiting.get()), 0);
    Gate().GarbageCollector();
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u) << "the waiting steps refreshed the access time";
    clock.Advance(1000ms);
    Gate().GarbageCollector();
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
}

TEST_F(GateContexts, TheWorkerCollectsOnItsOwn)
{
    Corvane::CCorvaneGate::SetGarbageCollectorPeriodForTests(5ms);
    const HRESULT configured = Reconfigure();
    Corvane::CCorvaneGate::SetGarbageCollectorPeriodForTests(0ms);
    ASSERT_EQ(configured, S_OK);
    ManualClock clock;
    Register();
    clock.Advance(1000ms);
    EXPECT_TRUE(WaitUntil([&] { return Gate().RegisteredContextCount() == 0; }));
    // The worker reads the manual clock: stop it before the clock goes.
    EXPECT_EQ(m_gate->Shutdown(), S_OK);
}

TEST_F(GateContexts, PollsOfDifferentTokensRunInParallel)
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

TEST_F(GateContexts, CallerCancellationStopsThePoll)
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
    EXPECT_EQ(log.Count("Cancel request with id:" + OverviewReportsProcessing::GuidToText(token)), 1u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
    EXPECT_GE(script->Cancels("A"), 1);
    EXPECT_GE(script->Cancels("B"), 1);
}

}  // namespace
}  // namespace cvn::test
