// The ClickHouse dialect on a real server: time buckets equal SQLite's for
// any time, zone and part the engine's times reach, quoted names that hold
// quotes and backslashes, and limits with offsets.
#include <gtest/gtest.h>

#include <random>

#include "host/reporting/storage/clickhouse/ClickHouseDialect.h"
#include "host/reporting/storage/clickhouse/ClickHouseHttp.h"
#include "tests/support/ClickHouseCluster.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::clickhouse {
namespace {

TEST(ClickHouseDialectTest, BucketsEqualSqlitesAndNamesAndLimitsAreSpelledAsTheServerReadsThem)
{
    cvn::test::ClickHouseCluster cluster;
    const ConnectionSettings settings = ParseConnection(cluster.Connection());
    HttpClient client(settings, ReadPassword(settings));
    cvn::test::TempDir dir;
    const auto sqlite = test::OpenTestDatabase(dir.File("t.db"), true);
    const IDialect& d = Dialect();

    // The engine's times run from 1970 to 2105: buckets of times in that range, shifted either way.
    std::mt19937_64 random(19);
    std::string chSql = "SELECT ", sqliteSql = "SELECT ";
    int columns = 0;
    for (const char* part : {"second", "minute", "hour", "day", "month", "year"}) {
        for (int i = 0; i < 12; ++i) {
            const int64_t when = std::uniform_int_distribution<int64_t>(86400, 4000000000)(random);
            const int64_t offset = std::uniform_int_distribution<int64_t>(-12 * 4, 14 * 4)(random) * 900;
            const std::string sep = columns++ ? ", " : "";
            chSql += sep + d.TruncateTime("toInt64(" + std::to_string(when) + ")", offset, part) + " AS c" + std::to_string(columns);
            sqliteSql += sep + sqlite->Dialect().TruncateTime(std::to_string(when), offset, part);
        }
    }
    const Answer buckets = client.Run(0, chSql, "buckets");
    const auto expected = sqlite->Prepare(sqliteSql);
    ASSERT_TRUE(expected->Next());
    ASSERT_EQ(buckets.rows.size(), 1u);
    for (int i = 0; i < columns; ++i) EXPECT_EQ(buckets.rows[0][i], expected->Column(i)) << "column " << i << ": " << buckets.names[i];
    EXPECT_THROW(d.TruncateTime("x", 0, "fortnight"), StorageError);

    const std::string odd = "we`ird\\name\"";
    client.Run(0, "CREATE TABLE " + d.QuoteIdentifier("t`1") + " (" + d.QuoteIdentifier(odd) + " " + d.IntegerType() +
                      ") ENGINE = MergeTree ORDER BY tuple()", "ddl");
    client.Run(0, "INSERT INTO " + d.QuoteIdentifier("t`1") + " VALUES (1), (2), (3), (4)", "rows");
    const Answer limited = client.Run(0, "SELECT " + d.QuoteIdentifier(odd) + " FROM " + d.QuoteIdentifier("t`1") +
                                             " ORDER BY 1 " + d.LimitClause(2, 1), "limited");
    EXPECT_EQ(limited.names, std::vector<std::string>{odd});
    ASSERT_EQ(limited.rows.size(), 2u);
    EXPECT_EQ(limited.rows[0][0], SqlValue(int64_t{2}));
    EXPECT_EQ(client.Run(0, "SELECT count() FROM (SELECT 1 FROM " + d.QuoteIdentifier("t`1") + " " + d.LimitClause(-1, 3) + ")", "rest")
                  .rows[0][0],
              SqlValue(int64_t{1}));
}

}  // namespace
}  // namespace cvn::reporting::clickhouse
