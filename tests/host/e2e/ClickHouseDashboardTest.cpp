// The host in the test's process on a throw-away two-shard ClickHouse cluster:
// the records loaded as generated, counts by both methods as hand-written SQL
// (records written after the counters were made included), a freed cookie's
// statement killed at the server, and a shard that stops mid-dashboard.
#include <iostream>

#include "host/reporting/sample/SampleDataGenerator.h"
#include "host/reporting/storage/Schema.h"
#include "tests/host/e2e/InProcessHost.h"
#include "tests/support/ClickHouseCluster.h"

namespace cvn::test {
namespace {

using ClickHouseInProcessCounts = ServerInProcessCounts<ClickHouseCluster>;

// The same records SQLite gets from the generator: every text column, byte for byte, spread over both
// shards.
TEST_F(ClickHouseInProcessCounts, TheShardsHoldExactlyTheGeneratedRecords)
{
    hostmain::CommandOptions options;
    options.records = 20000;
    options.days = 10;
    const reporting::SampleDataGenerator generator(hostmain::SampleOptions(*s_host, options));
    Rows generated;
    generator.ForEachRecord([&](const reporting::SampleRecord& r) {
        std::string key;
        for (const std::string_view part : {r.productId, r.dataSource, r.managedObjectUId, r.managedObject, r.who,
                                            r.where, r.objectType, r.whatAction, r.what})
            key += std::string(part) + "|";
        ++generated[key + std::to_string(r.auditingSystem)];
    });
    const auto db = reporting::OpenStorage(s_host->Storage());
    const Rows stored = CountedRows(
        *db, R"(SELECT concat("ProductId", '|', "DataSource", '|', "ManagedObjectUId", '|', "ManagedObject", '|', "Who",
                '|', "Where", '|', "ObjectType", '|', "What_Action", '|', "What", '|', toString("AuditingSystem")) AS k,
                count() FROM "AuditRecords" WHERE "Id" BETWEEN 1 AND 20000 GROUP BY k)");
    EXPECT_EQ(stored, generated);
    for (const int shard : {1, 2})
        EXPECT_NE(s_server->Client(shard, "SELECT count() FROM AuditRecords_Local"), "0") << "shard " << shard;
}

TEST_F(ClickHouseInProcessCounts, EitherMethodCountsAsHandWrittenSqlForAnyRangeZoneAndFilter)
{
    CheckEitherMethodCountsAsHandWrittenSql();
}

// Every records query reads a slow table of the suite's making instead of the records, one at a time.
class ClickHouseDashboardFaults : public InProcessHost {
protected:
    /// select: the table, made by the suite on both servers; marker: a text of it that its queries show.
    static void StartSlowed(const std::string& select, const std::string& marker)
    {
        s_cluster = new ClickHouseCluster;
        s_marker = marker;
        StartHost({ServerDatabase("clickhouse", s_cluster->Connection()),
                   {"Workers:i32=\"2\"", "Workers:i32=\"1\""},
                   {"Table=\"AuditRecords\" CountExpression=\"COUNT(*)\"", "Table=\"SlowRecords\" CountExpression=\"COUNT(*)\""}},
                  false);
        reporting::OpenStorage(s_host->Storage())->Execute("CREATE VIEW SlowRecords AS " + select);
    }
    static void TearDownTestSuite()
    {
        for (reporting::IConnection*& probe : s_probes) {
            delete probe;
            probe = nullptr;
        }
        InProcessHost::TearDownTestSuite();
        delete s_cluster;
        s_cluster = nullptr;
    }
    /// Records queries running on either server, asked of each server directly.
    static int64_t Sleeping()
    {
        int64_t running = 0;
        for (const int shard : {1, 2}) {
            reporting::IConnection*& probe = s_probes[shard - 1];
            if (!probe) {
                const std::string connection = "hosts=127.0.0.1:" + std::to_string(s_cluster->HttpPort(shard)) +
                                               " user=audit password_file=" + s_cluster->Dir() +
                                               "/password cluster=audit_cluster database=default";
                probe = reporting::OpenStorage({"clickhouse", connection}).release();
            }
            running += ScalarOf(*probe, "SELECT count() FROM system.processes WHERE query LIKE '%" + s_marker +
                                            "%' AND query NOT LIKE '%system.processes%'");
        }
        return running;
    }
    static std::string Dashboard() { return ReadFile(s_dir->File("config/dashboard.xml")); }
    static QxNodePtr PollToTheEnd(const GUID& token)
    {
        QxNodePtr answer;
        for (int i = 0; i < 10000; ++i) {
            answer = Poll(token);
            if (hostmain::RetrieveStatusOf(answer) != 0) break;
        }
        return answer;
    }
    static inline ClickHouseCluster* s_cluster = nullptr;
    static inline std::string s_marker;
    static inline reporting::IConnection* s_probes[2] = {nullptr, nullptr};
};

// The records, then numbers hashed for minutes in search of a row that never comes (the server notices a
// kill between blocks, and these are quick ones): a statement that is gone was killed.
class ClickHouseKilledStatements : public ClickHouseDashboardFaults {
protected:
    static void SetUpTestSuite()
    {
        std::string nothing = "SELECT number AS Id, toInt64(0) AS When";
        for (const std::string& column : reporting::AuditRecordColumns())
            if (column != "When") nothing += column == "AuditingSystem" ? ", toInt64(0) AS AuditingSystem" : ", '' AS " + column;
        StartSlowed("SELECT * FROM AuditRecords UNION ALL " + nothing +
                        " FROM (SELECT number FROM system.numbers LIMIT 100000000000) WHERE sipHash64(number) = 0",
                    "SlowRecords");
    }
};

// Half a second a query, so that a whole dashboard runs in a few seconds.
class ClickHouseShardFaults : public ClickHouseDashboardFaults {
protected:
    static void SetUpTestSuite()
    {
        StartSlowed("SELECT * FROM AuditRecords WHERE sleepEachRow(0.5 / (SELECT count() FROM AuditRecords)) = 0", "SlowRecords");
    }
};

TEST_F(ClickHouseKilledStatements, AFreedCookieLeavesNoStatementRunningOnAnyServer)
{
    const GUID token = TokenOf(Send(Dashboard()));
    ASSERT_TRUE(WaitUntil([] { return Sleeping() > 0; })) << "no query reached the servers";
    const auto freedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(hostmain::ResultCodeOf(Poll(token, "FreeCookieRequest")), 0);
    EXPECT_TRUE(WaitUntil([] { return Sleeping() == 0; }, std::chrono::milliseconds(1500)))
        << "the freed cookie's statement still runs";
    std::cout << "statement gone from both servers "
              << std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - freedAt).count()
              << " ms after the free\n";
    EXPECT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }));
}

// Last in the suite: it stops the host.
TEST_F(ClickHouseKilledStatements, AHostThatStopsLeavesNoStatementRunning)
{
    ASSERT_EQ(hostmain::ResultCodeOf(Send(Dashboard())), 0);
    ASSERT_TRUE(WaitUntil([] { return Sleeping() > 0; })) << "no query reached the servers";
    delete s_host;  // with the dashboard's cookie live and its queries queued and running
    s_host = nullptr;
    EXPECT_TRUE(WaitUntil([] { return Sleeping() == 0; }, std::chrono::milliseconds(1500)))
        << "a statement outlived the host";
}

TEST_F(ClickHouseShardFaults, AShardStoppedMidDashboardFailsTheRestAsUnavailableAndTheNextDashboardCompletes)
{
    const GUID token = TokenOf(Send(Dashboard()));
    ASSERT_TRUE(WaitUntil([] { return Sleeping() > 0; })) << "no query reached the servers";
    s_cluster->StopShard(2);

    const QxNodePtr last = PollToTheEnd(token);
    ASSERT_NE(hostmain::RetrieveStatusOf(last), 0) << "the request never ended";
    size_t unavailable = 0;
    for (const QxNodePtr& sub : last.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        // Counted before the stop, or failed as unavailable: never a count of one shard alone.
        const uint32_t code = static_cast<uint32_t>(hostmain::ResultCodeOf(sub));
        if (code == 0) continue;
        EXPECT_EQ(code, 0x80040C0Au) << sub.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8);
        ++unavailable;
    }
    EXPECT_GT(unavailable, 0u) << last.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8);
    EXPECT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }));

    s_cluster->StartShard(2);
    hostmain::RequestRunner runner(*s_host, std::chrono::seconds(120));
    const hostmain::RetrieveOutcome outcome = runner.Run(QxNodePtr::Parse(Dashboard()), {});
    EXPECT_FALSE(outcome.failed) << outcome.last.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8);
    for (const QxNodePtr& sub : outcome.last.GetChildren()) {
        if (sub.GetType() == "RetrieveCountersSubResponse") {
            EXPECT_EQ(hostmain::ResultCodeOf(sub), 0) << sub.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8);
        }
    }
}

}  // namespace
}  // namespace cvn::test
