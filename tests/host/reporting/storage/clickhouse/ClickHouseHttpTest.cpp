// The HTTP client against a real two-shard cluster: hostile text round-trips
// through INSERT and WHERE as literals, a killed statement is gone from
// system.processes, and each failure has its kind: a wrong password, the
// server's time limit, a shard that is down.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/reporting/storage/clickhouse/ClickHouseHttp.h"
#include "tests/support/ClickHouseCluster.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::clickhouse {
namespace {

using test::StorageFailure;
using test::StorageFailureOf;

class ClickHouseHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_cluster = new cvn::test::ClickHouseCluster; }
    static void TearDownTestSuite()
    {
        delete s_cluster;
        s_cluster = nullptr;
    }
    static HttpClient Client()
    {
        const ConnectionSettings settings = ParseConnection(s_cluster->Connection());
        return HttpClient(settings, ReadPassword(settings));
    }
    static inline cvn::test::ClickHouseCluster* s_cluster = nullptr;
};

TEST_F(ClickHouseHttp, HostileTextRoundTripsAsALiteralThroughInsertAndWhere)
{
    HttpClient client = Client();
    client.Run(0, "CREATE TABLE texts (n UInt32, s String) ENGINE = MergeTree ORDER BY n", "ddl-texts");
    std::vector<std::string> hostile = {"O'Brien", "back\\slash", "trailing\\", "\\'", "new\nline\r\ttab",
                                        std::string("nul\0inside", 10), "$1 -- /* */ `x` \"y\"",
                                        "'); DROP TABLE texts; --", "\xE2\x82\xAC \xF0\x9F\x98\x80", std::string(100000, 'v') + "'"};
    std::string insert = "INSERT INTO texts VALUES ";
    for (size_t i = 0; i < hostile.size(); ++i) insert += (i ? ", " : "") + BindValues("($1, $2)", {int64_t(i), hostile[i]});
    client.Run(0, insert, "insert-texts");
    for (size_t i = 0; i < hostile.size(); ++i) {
        const Answer byValue = client.Run(0, BindValues("SELECT n, s FROM texts WHERE s = $1", {hostile[i]}), "read-" + std::to_string(i));
        ASSERT_EQ(byValue.rows.size(), 1u) << i;
        EXPECT_EQ(byValue.rows[0][0], SqlValue(static_cast<int64_t>(i)));
        EXPECT_EQ(byValue.rows[0][1], SqlValue(hostile[i])) << i;
    }
    EXPECT_EQ(client.Run(0, "SELECT count() AS n FROM texts", "count-texts").rows[0][0], SqlValue(static_cast<int64_t>(hostile.size())));
}

TEST_F(ClickHouseHttp, AKilledStatementIsGoneAndTheServersLimitsAndRefusalsHaveTheirKinds)
{
    HttpClient client = Client();
    // Endless, a tenth of a second per block of 100 rows (the server sleeps at most 3 s per block).
    const std::string slow = "SELECT count() FROM system.numbers WHERE sleepEachRow(0.001) = 0";
    const QuerySettings small{{"max_block_size", "100"}};
    std::atomic<int> kind{-1};
    std::thread running([&] {
        try {
            Client().Run(0, slow, "slow-one", small);
        } catch (const StorageError& error) {
            kind = static_cast<int>(error.Kind());
        }
    });
    ASSERT_TRUE(cvn::test::WaitUntil([&] {
        return client.Run(0, "SELECT count() FROM system.processes WHERE query_id = 'slow-one'", "probe").rows[0][0] == SqlValue(int64_t{1});
    }));
    client.Kill(0, "slow-one");
    running.join();
    EXPECT_EQ(kind.load(), static_cast<int>(StorageErrorKind::Interrupted));
    EXPECT_EQ(client.Run(0, "SELECT count() FROM system.processes WHERE query_id = 'slow-one'", "probe").rows[0][0], SqlValue(int64_t{0}));

    EXPECT_EQ(StorageFailureOf([&] { client.Run(0, slow, "limited", {{"max_execution_time", "1"}, {"max_block_size", "100"}}); }).kind,
              StorageErrorKind::TimedOut);
    ConnectionSettings wrong = ParseConnection(s_cluster->Connection());
    const StorageFailure refused = StorageFailureOf([&] { HttpClient(wrong, "not-the-password").Run(0, "SELECT 1", "w"); });
    EXPECT_EQ(refused.kind, StorageErrorKind::Unavailable) << refused.message;
    EXPECT_EQ(refused.message.find("not-the-password"), std::string::npos) << refused.message;

    s_cluster->StopShard(2);
    const StorageFailure down = StorageFailureOf([&] { client.Run(1, "SELECT 1", "down"); });
    EXPECT_EQ(down.kind, StorageErrorKind::Unavailable) << down.message;
    EXPECT_NE(down.message.find(client.Where(1)), std::string::npos) << down.message;
    s_cluster->StartShard(2);
}

}  // namespace
}  // namespace cvn::reporting::clickhouse
