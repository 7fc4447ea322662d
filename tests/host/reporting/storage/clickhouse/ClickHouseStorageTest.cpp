// The ClickHouse backend on a real two-shard cluster: counters the engine keeps
// as records arrive, equal to the records' own counts in every span; a killed
// statement, the server's limits, a refused login and a frozen shard.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <thread>

#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"
#include "tests/support/ClickHouseCluster.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting {
namespace {

using test::CountedRows;
using test::ScalarOf;
using test::StorageFailureOf;

// Never ends by itself, and the server notices a kill between its quick blocks.
constexpr const char* kEndless =
    "SELECT count() FROM (SELECT number FROM system.numbers LIMIT 100000000000) WHERE sipHash64(number) = 0";

class ClickHouseStorage : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_cluster = new cvn::test::ClickHouseCluster; }
    static void TearDownTestSuite()
    {
        delete s_cluster;
        s_cluster = nullptr;
    }
    static std::unique_ptr<IConnection> Open(const StorageOpenOptions& options = {})
    {
        return OpenStorage({"clickhouse", s_cluster->Connection()}, options);
    }
    static int64_t Running(IConnection& probe, const std::string& marker)
    {
        return ScalarOf(probe, "SELECT count() FROM system.processes WHERE query LIKE '%" + marker +
                                   "%' AND query NOT LIKE '%system.processes%'");
    }
    static inline cvn::test::ClickHouseCluster* s_cluster = nullptr;
};

TEST_F(ClickHouseStorage, TheEngineCountsEveryRecordIntoEverySpanOfItsBucketAsItArrives)
{
    CountersTableLayout layout{.idColumn = "Id", .maskColumn = "Mask", .conditionIdColumn = "ConditionId",
                               .countColumn = "Count", .timestampColumn = "Timestamp", .groupColumns = {"Column1", "Column2"}};
    const auto db = Open();
    CreateReportingSchema(*db, layout);
    {  // A load into empty records that fails half way takes back the rows it sent.
        const auto writer = db->BulkInsert(kAuditRecordsTable, AuditRecordColumns(), 2);
        std::vector<SqlValue> row(AuditRecordColumns().size(), std::string("x"));
        row[0] = int64_t{1};
        row[2] = int64_t{1};
        writer->Add(row);
        writer->Add(row);
        row[0] = std::string("not a time");
        writer->Add(row);
        EXPECT_THROW(writer->Add(row), StorageError);
    }
    EXPECT_EQ(ScalarOf(*db, "SELECT count() FROM AuditRecords"), 0);
    const std::vector<std::string> who = {"O'Brien", "back\\slash", "tab\there", std::string("nul\0x", 5), "\xE2\x82\xAC"};
    const std::vector<int64_t> times = {-5400, -1, 0, 3599, 3600, 86399, 1796000000, 1796003600};
    const auto load = [&](int round) {
        const auto writer = db->BulkInsert(kAuditRecordsTable, AuditRecordColumns());
        for (size_t i = 0; i < times.size() * who.size(); ++i) {
            std::vector<SqlValue> row(AuditRecordColumns().size(), std::string("x"));
            row[0] = times[i % times.size()] + round;
            row[1] = std::string("101");
            row[2] = int64_t{1};
            row[6] = who[i % who.size()];
            row[9] = std::string(i % 3 ? "Added" : "Re'moved");
            writer->Add(row);
        }
        writer->Finish();
    };
    load(0);
    // Counted: every action but the one the condition names, by who; the second column left empty.
    const CountedSelection selection{.mask = 5, .conditionId = 2, .columns = {{"Who", "Column1"}}, .alias = "t",
                                     .condition = "`t`.`What_Action` <> $1", .parameters = {std::string("Re'moved")}};
    db->KeepCounters(layout, {selection}, {{"Progress", "all"}});
    load(7);  // after the views: counted as they arrive

    EXPECT_EQ(ScalarOf(*db, "SELECT count() FROM AuditRecords"), 2 * int64_t(times.size() * who.size()));
    EXPECT_EQ(ScalarOf(*db, "SELECT uniqExact(Id) FROM AuditRecords"), 2 * int64_t(times.size() * who.size()));
    for (const std::string& name : who)  // loaded as TabSeparated, read back byte for byte
        EXPECT_EQ(ScalarOf(*db, "SELECT count() FROM AuditRecords WHERE Who = $1", {name}), 2 * int64_t(times.size()));
    for (const int64_t span : kCounterSpans) {
        SCOPED_TRACE(span);
        const std::string bucket = "(`When` - ((`When` % " + std::to_string(span) + ") + " + std::to_string(span) +
                                   ") % " + std::to_string(span) + ")";
        EXPECT_EQ(CountedRows(*db, "SELECT toString(Timestamp), Column1, Column2, sum(Count) FROM OverviewCounters WHERE "
                                   "Mask = 5 AND ConditionId = 2 AND Span = $1 GROUP BY Timestamp, Column1, Column2",
                              {span}),
                  CountedRows(*db, "SELECT toString(" + bucket + ") AS b, Who, '', count() FROM AuditRecords WHERE "
                                   "What_Action <> 'Re\\'moved' GROUP BY b, Who"));
    }
    for (const int shard : {1, 2})
        EXPECT_EQ(s_cluster->Client(shard, "SELECT Value FROM AggregationState WHERE Key = 'Progress'"), "all");

    // Counting by another definition replaces the views.
    db->KeepCounters(layout, {}, {});
    EXPECT_EQ(ScalarOf(*db, "SELECT count() FROM system.tables WHERE name LIKE 'OverviewCounters_View_%'"), 0);
    EXPECT_EQ(ScalarOf(*db, "SELECT count() FROM OverviewCounters"), 0);
}

TEST_F(ClickHouseStorage, AnInterruptKillsTheStatementAndTheServersLimitsHaveTheirKinds)
{
    const auto db = Open();
    const auto probe = Open();
    std::atomic<int> kind{-1};
    std::thread running([&] {
        try {
            db->Prepare(kEndless)->Next();
        } catch (const StorageError& error) {
            kind = static_cast<int>(error.Kind());
        }
    });
    ASSERT_TRUE(cvn::test::WaitUntil([&] { return Running(*probe, "sipHash64") == 1; }));
    db->Interrupt();
    running.join();
    EXPECT_EQ(kind.load(), static_cast<int>(StorageErrorKind::Interrupted));
    EXPECT_EQ(Running(*probe, "sipHash64"), 0);
    // Sticky until cleared.
    EXPECT_EQ(StorageFailureOf([&] { db->Prepare("SELECT 1")->Next(); }).kind, StorageErrorKind::Interrupted);
    db->ClearInterrupt();
    EXPECT_EQ(ScalarOf(*db, "SELECT 1"), 1);

    const auto limited = Open({.statementTimeoutMs = 1000, .maxResultRows = 10});
    EXPECT_EQ(StorageFailureOf([&] { limited->Prepare(kEndless)->Next(); }).kind, StorageErrorKind::TimedOut);
    // Past the rows the caller takes, the server stops sending (after a whole block at most).
    const auto many = limited->Prepare("SELECT number FROM system.numbers LIMIT 1000000");
    int64_t rows = 0;
    while (many->Next()) ++rows;
    EXPECT_GT(rows, 10);
    EXPECT_LT(rows, 1000000);
}

TEST_F(ClickHouseStorage, ARefusedLoginOrAFrozenShardIsUnavailableNamingWhere)
{
    const std::string wrongFile = s_cluster->Dir() + "/wrong-password";
    std::ofstream(wrongFile) << "not-the-password\n";
    std::string connection = s_cluster->Connection();
    connection.replace(connection.find(s_cluster->Dir() + "/password"), (s_cluster->Dir() + "/password").size(), wrongFile);
    const test::StorageFailure refused = StorageFailureOf([&] { OpenStorage({"clickhouse", connection}); });
    EXPECT_EQ(refused.kind, StorageErrorKind::Unavailable) << refused.message;
    EXPECT_NE(refused.message.find("127.0.0.1:" + std::to_string(s_cluster->HttpPort(1))), std::string::npos) << refused.message;
    EXPECT_EQ(refused.message.find("not-the-password"), std::string::npos) << refused.message;

    const auto db = Open();
    CreateReportingSchema(*db, {.idColumn = "Id", .maskColumn = "Mask", .conditionIdColumn = "ConditionId",
                                .countColumn = "Count", .timestampColumn = "Timestamp", .groupColumns = {"Column1"}});
    s_cluster->FreezeShard(2);
    const auto started = std::chrono::steady_clock::now();
    const test::StorageFailure failure = StorageFailureOf([&] { ScalarOf(*db, "SELECT count() FROM AuditRecords"); });
    std::cout << "failed after "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s: "
              << failure.message << "\n";
    s_cluster->ThawShard(2);
    EXPECT_EQ(failure.kind, StorageErrorKind::Unavailable) << failure.message;
    // Named by the address the servers reach it at: the second server's TCP port (ports: HTTP, TCP,
    // interserver of each).
    std::ifstream ports(s_cluster->Dir() + "/ports");
    std::string port;
    for (int i = 0; i < 5; ++i) ports >> port;
    EXPECT_NE(failure.message.find("127.0.0.1:" + port), std::string::npos) << failure.message;
}

}  // namespace
}  // namespace cvn::reporting
