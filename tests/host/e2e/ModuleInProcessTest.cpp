// The host in the test's process on its SQLite database: counts by both
// methods, and cookies polled, freed or left to expire.
#include "tests/host/e2e/InProcessHost.h"

namespace cvn::test {
namespace {

class ModuleInProcessCounts : public InProcessCounts {
protected:
    static void SetUpTestSuite() { StartHost({}, true); }
};

TEST_F(ModuleInProcessCounts, EitherMethodCountsAsHandWrittenSqlForAnyRangeZoneAndFilter)
{
    CheckEitherMethodCountsAsHandWrittenSql();
}

// A slow records template and one worker: the dashboard's eight queries finish one after another.
class ModuleInProcessCookies : public InProcessHost {
protected:
    static void SetUpTestSuite()
    {
        StartHost({{"Workers:i32=\"2\"", "Workers:i32=\"1\""},
                   {"CountExpression=\"COUNT(*)\"",
                    "CountExpression=\"COUNT(*) + (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                    "WHERE x &lt; 1500000) SELECT MIN(x) - 1 FROM c)\""},
                   {"TtlRequest:i64=\"120\"", "TtlRequest:i64=\"2\""},
                   {"GarbageCollectorRoutineInterval:i64=\"10\"", "GarbageCollectorRoutineInterval:i64=\"1\""}},
                  false);
    }
    static std::string Dashboard() { return ReadFile(s_dir->File("config/dashboard.xml")); }
    static bool WaitUntilNoQueryHeld()
    {
        return WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; });
    }
    static void ExpectGone(const GUID& token)
    {
        const QxNodePtr answer = Poll(token);
        EXPECT_EQ(answer.GetAttributeOr<uint32_t>("ResultCode", 0), 0x80070490u) << answer.ToText(0, 0);
        EXPECT_EQ(hostmain::RetrieveStatusOf(answer), 2);
    }
};

TEST_F(ModuleInProcessCookies, PartialResultsArriveOverSeveralAnswers)
{
    QxNodePtr answer = Send(Dashboard());
    ASSERT_EQ(hostmain::ResultCodeOf(answer), 0) << answer.ToText(0, 0);
    const GUID token = TokenOf(answer);
    EXPECT_EQ(Delivered(answer), 0u);
    std::vector<size_t> delivered;
    while (hostmain::RetrieveStatusOf(answer) == 0 && delivered.size() < 1000) {
        answer = Poll(token);
        delivered.push_back(Delivered(answer));
    }
    EXPECT_EQ(hostmain::RetrieveStatusOf(answer), 1) << answer.ToText(0, 0);
    ASSERT_FALSE(delivered.empty());
    EXPECT_EQ(delivered.back(), 8u);
    size_t bringingNews = 0;
    for (size_t i = 0; i < delivered.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(delivered[i], delivered[i - 1]) << "a result, once given, stays in every later answer";
        }
        if (delivered[i] > (i ? delivered[i - 1] : 0)) ++bringingNews;
    }
    EXPECT_GE(bringingNews, 2u) << "the results came in one answer, not as they finished";
    ExpectGone(token);
    EXPECT_TRUE(WaitUntilNoQueryHeld());
}

TEST_F(ModuleInProcessCookies, FreeCookieMidPollDropsTheRequestAndItsQueries)
{
    const QxNodePtr first = Send(Dashboard());
    const GUID token = TokenOf(first);
    const QxNodePtr partial = Poll(token);
    EXPECT_EQ(hostmain::RetrieveStatusOf(partial), 0) << "eight slow queries on one worker are still running";
    EXPECT_GT(s_host->QueriesProcessor()->HeldQueries(), 0u);

    const QxNodePtr freed = Poll(token, "FreeCookieRequest");
    EXPECT_EQ(hostmain::ResultCodeOf(freed), 0) << freed.ToText(0, 0);
    ExpectGone(token);
    EXPECT_TRUE(WaitUntilNoQueryHeld()) << "the freed request's queries are dropped at the queries processor";
}

TEST_F(ModuleInProcessCookies, CookieNobodyPollsExpires)
{
    const GUID token = TokenOf(Send(Dashboard()));
    // TtlRequest and the collector's interval are whole seconds: two and one, and a margin. The time to
    // live leaves a polling test a second of slack on a loaded machine.
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    ExpectGone(token);
    EXPECT_TRUE(WaitUntilNoQueryHeld());
}

}  // namespace
}  // namespace cvn::test
