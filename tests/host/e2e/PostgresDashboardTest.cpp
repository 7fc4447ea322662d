// The host in the test's process on a throw-away PostgreSQL server: counts by
// both methods as hand-written SQL, a freed cookie's statement stopped at the
// server, and a server that stops in the middle of a dashboard.
#include <iostream>

#include "tests/host/e2e/InProcessHost.h"
#include "tests/support/PostgresServer.h"

namespace cvn::test {
namespace {

using PostgresInProcessCounts = ServerInProcessCounts<PostgresServer>;

TEST_F(PostgresInProcessCounts, EitherMethodCountsAsHandWrittenSqlForAnyRangeZoneAndFilter)
{
    CheckEitherMethodCountsAsHandWrittenSql();
}

// Every records query sleeps half a second at the server, one at a time.
class PostgresDashboardFaults : public InProcessHost {
protected:
    static void SetUpTestSuite()
    {
        s_server = new PostgresServer;
        StartHost({ServerDatabase("postgresql", s_server->Connection()),
                   {"Workers:i32=\"2\"", "Workers:i32=\"1\""},
                   {"CountExpression=\"COUNT(*)\"", "CountExpression=\"COUNT(*) + (SELECT 0 FROM pg_sleep(0.5))\""}},
                  false);
    }
    static void TearDownTestSuite()
    {
        delete s_watcher;
        s_watcher = nullptr;
        InProcessHost::TearDownTestSuite();
        delete s_server;
        s_server = nullptr;
    }
    /// Records queries running at the server, asked on a connection of the test's own.
    static int64_t Sleeping()
    {
        if (!s_watcher) s_watcher = reporting::OpenStorage(s_host->Storage()).release();
        return ScalarOf(*s_watcher, "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND "
                                    "query LIKE '%pg_sleep(0.5)%' AND pid <> pg_backend_pid()");
    }
    static std::string Dashboard() { return ReadFile(s_dir->File("config/dashboard.xml")); }
    /// Polls the cookie until its request ends; the last answer.
    static QxNodePtr PollToTheEnd(const GUID& token)
    {
        QxNodePtr answer;
        for (int i = 0; i < 10000; ++i) {
            answer = Send("<RetrieveCountersRequest q:name=\"Dashboard\"><node q:name=\"RetrieveCookie\" Token:guid=\"" +
                          GuidToText(token) + "\"/></RetrieveCountersRequest>");
            if (hostmain::RetrieveStatusOf(answer) != 0) break;
        }
        return answer;
    }
    static inline PostgresServer* s_server = nullptr;
    static inline reporting::IConnection* s_watcher = nullptr;
};

TEST_F(PostgresDashboardFaults, AFreedCookieLeavesNoStatementRunningAtTheServer)
{
    const QxNodePtr first = Send(Dashboard());
    GUID token{};
    ASSERT_TRUE(first.GetChild("RetrieveCookie").GetAttribute("Token", token)) << first.ToText();
    ASSERT_TRUE(WaitUntil([] { return Sleeping() == 1; })) << "no query reached the server";
    const auto freedAt = std::chrono::steady_clock::now();
    const QxNodePtr freed = Send("<FreeCookieRequest q:name=\"Dashboard\"><node q:name=\"RetrieveCookie\" Token:guid=\"" +
                                 GuidToText(token) + "\"/></FreeCookieRequest>");
    EXPECT_EQ(hostmain::ResultCodeOf(freed), 0) << freed.ToText();
    EXPECT_TRUE(WaitUntil([] { return Sleeping() == 0; }, std::chrono::milliseconds(1500)))
        << "the freed cookie's statement still runs at the server";
    std::cout << "statement gone from the server "
              << std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - freedAt).count()
              << " ms after the free\n";
    EXPECT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }));
}

TEST_F(PostgresDashboardFaults, AServerStoppedMidDashboardFailsItsQueriesAsUnavailableAndTheNextDashboardReconnects)
{
    const QxNodePtr first = Send(Dashboard());
    GUID token{};
    ASSERT_TRUE(first.GetChild("RetrieveCookie").GetAttribute("Token", token)) << first.ToText();
    ASSERT_TRUE(WaitUntil([] { return Sleeping() == 1; })) << "no query reached the server";
    delete s_watcher;
    s_watcher = nullptr;
    s_server->Stop();

    const QxNodePtr last = PollToTheEnd(token);
    ASSERT_NE(hostmain::RetrieveStatusOf(last), 0) << "the request never ended";
    size_t unavailable = 0;
    for (const QxNodePtr& sub : last.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        // Each sub-request either counted before the stop or failed saying the database is unavailable.
        const uint32_t code = static_cast<uint32_t>(hostmain::ResultCodeOf(sub));
        if (code != 0) {
            EXPECT_EQ(code, 0x80040C0Au) << sub.ToText();
            ++unavailable;
        }
    }
    EXPECT_GT(unavailable, 0u) << last.ToText();
    EXPECT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }));

    s_server->Start();
    hostmain::RequestRunner runner(*s_host, std::chrono::seconds(120));
    const hostmain::RetrieveOutcome outcome = runner.Run(QxNodePtr::Parse(Dashboard()), {});
    EXPECT_FALSE(outcome.failed) << outcome.last.ToText();
    for (const QxNodePtr& sub : outcome.last.GetChildren()) {
        if (sub.GetType() == "RetrieveCountersSubResponse") {
            EXPECT_EQ(hostmain::ResultCodeOf(sub), 0) << sub.ToText();
        }
    }
}

// Last in the suite: it stops the host.
TEST_F(PostgresDashboardFaults, AHostThatStopsLeavesNoStatementRunningAtTheServer)
{
    const QxNodePtr first = Send(Dashboard());
    ASSERT_EQ(hostmain::ResultCodeOf(first), 0) << first.ToText();
    ASSERT_TRUE(WaitUntil([] { return Sleeping() == 1; })) << "no query reached the server";
    delete s_host;  // with the dashboard's cookie live and its queries queued and running
    s_host = nullptr;
    EXPECT_TRUE(WaitUntil([] { return Sleeping() == 0; }, std::chrono::milliseconds(1500)))
        << "a statement outlived the host";
}

}  // namespace
}  // namespace cvn::test
