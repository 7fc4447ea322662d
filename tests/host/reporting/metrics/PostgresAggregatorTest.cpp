// The aggregator on PostgreSQL counts in SQL (grouped inserts, then sums of
// the shorter spans); on SQLite it counts in memory. Given the same records,
// runs and later records, both must leave the same counters. A run that fails
// half way leaves the counters and the progress as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/sample/SampleDataGenerator.h"
#include "host/reporting/storage/Schema.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

constexpr int64_t kEnd = 1772323200;  // 2026-03-01T00:00:00Z

// Every row of the table as text, sorted.
std::vector<std::string> Rows(IConnection& db, const std::string& table)
{
    const auto statement = db.Prepare("SELECT * FROM " + db.Dialect().QuoteIdentifier(table));
    std::vector<std::string> rows;
    while (statement->Next()) {
        std::string row;
        for (size_t i = 0; i < statement->ColumnCount(); ++i) {
            if (statement->ColumnName(i) == "Id") continue;  // the order rows were written in
            const SqlValue value = statement->Column(i);
            row += row.empty() ? "" : "|";
            if (const auto* number = std::get_if<int64_t>(&value)) row += std::to_string(*number);
            else if (const auto* text = std::get_if<std::string>(&value)) row += *text;
            else row += "-";
        }
        rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST(PostgresAggregatorTest, CountsAsTheInMemoryPassOnSqliteRunAfterRunAndAFailedRunLeavesEverythingAsItWas)
{
    cvn::test::PostgresServer server;
    TempDir dir;
    const auto pg = OpenStorage(ParseStorageSettings("postgresql", server.Connection()));
    const auto sqlite = OpenTestDatabase(dir.File("r.db"), true);
    ASSERT_TRUE(pg->Dialect().CountsInDatabase());
    ASSERT_FALSE(sqlite->Dialect().CountsInDatabase());

    const SampleDataGenerator generator({.seed = 5, .records = 4000, .days = 40, .endTime = kEnd, .users = 12,
                                         .objectsPerProduct = 20});
    struct Side {
        Side(IConnection& connection)
            : db(connection),
              translator(Tree(kTemplates), connection.Dialect()),
              aggregator(connection, Tree(kMetrics), translator, "overview_records")
        {
        }
        IConnection& db;
        QueryTranslator translator;
        MetricsAggregator aggregator;
    };
    std::vector<std::unique_ptr<Side>> sides;
    for (IConnection* db : {pg.get(), sqlite.get()}) {
        CreateReportingSchema(*db, CountersTableLayoutFromMetrics(Tree(kMetrics)));
        generator.WriteRecords(*db);
        sides.push_back(std::make_unique<Side>(*db));
    }
    // Copies of every seventh record, moved by up to two days either way: into hours, days and
    // longer buckets that hold counters already and into ones that do not.
    const auto addRecords = [&](IConnection& db, int64_t shift, int64_t every) {
        const IDialect& d = db.Dialect();
        auto insert = db.Prepare(R"(INSERT INTO "AuditRecords" ("When", "ProductId", "AuditingSystem", "DataSource",
            "ManagedObjectUId", "ManagedObject", "Who", "Where", "ObjectType", "What_Action", "What") SELECT "When" + )" +
                                 d.Placeholder(1) + R"(, "ProductId", "AuditingSystem", "DataSource", "ManagedObjectUId",
            "ManagedObject", "Who", "Where", "ObjectType", "What_Action", "What" FROM "AuditRecords" WHERE "Id" % )" +
                                 d.Placeholder(2) + R"( = 0 ORDER BY "Id")");  // the copies get the same ids on both
        insert->Bind(1, shift);
        insert->Bind(2, every);
        while (insert->Next()) {
        }
    };
    const auto same = [&](const char* when) {
        SCOPED_TRACE(when);
        const std::vector<std::string> counters = Rows(*pg, "OverviewCounters");
        const std::vector<std::string> expected = Rows(*sqlite, "OverviewCounters");
        EXPECT_FALSE(counters.empty());
        std::vector<std::string> onlyPg, onlySqlite;
        std::set_difference(counters.begin(), counters.end(), expected.begin(), expected.end(), std::back_inserter(onlyPg));
        std::set_difference(expected.begin(), expected.end(), counters.begin(), counters.end(), std::back_inserter(onlySqlite));
        onlyPg.resize(std::min<size_t>(onlyPg.size(), 8));
        onlySqlite.resize(std::min<size_t>(onlySqlite.size(), 8));
        EXPECT_EQ(onlyPg, onlySqlite) << "rows only one side has (first eight each)";
        EXPECT_EQ(Rows(*pg, "AggregationState"), Rows(*sqlite, "AggregationState"));
    };

    for (auto& side : sides) {
        // The metrics start ten days before the end; the history before is backfilled.
        side->aggregator.Aggregate(kEnd - 10 * 86400 + 1234);
        side->aggregator.Backfill(kEnd - 40 * 86400, kEnd - 10 * 86400 + 1234);
    }
    same("after the first run and the backfill");
    for (auto& side : sides) {
        addRecords(side->db, 2 * 86400 - 1800, 7);
        addRecords(side->db, -86400 - 600, 11);
        side->aggregator.Aggregate(kEnd + 3600);
    }
    same("after records came later");

    // Half way through a run the database refuses a counter: everything the run did is undone.
    const std::vector<std::string> counters = Rows(*pg, "OverviewCounters");
    const std::vector<std::string> progress = Rows(*pg, "AggregationState");
    pg->Execute(R"(ALTER TABLE "OverviewCounters" ADD CONSTRAINT small CHECK ("Cnt" < 3) NOT VALID)");
    addRecords(*pg, -3 * 86400, 5);
    EXPECT_THROW(sides[0]->aggregator.Aggregate(kEnd + 7200), StorageError);
    EXPECT_EQ(Rows(*pg, "OverviewCounters"), counters);
    EXPECT_EQ(Rows(*pg, "AggregationState"), progress);
}

}  // namespace
}  // namespace cvn::reporting::test
