// The aggregator: hourly and longer counters per group and its preset in the
// configured layout, incremental runs that re-count only touched hours, backfill moving
// the metrics start time (in the database and the status node), and refusal of
// presets the records cannot express.
#include <gtest/gtest.h>

#include "common/Components/ComponentObject.h"
#include "common/ServiceLayer/NamedServices.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/storage/Schema.h"
#include "host/services/ConfigServer.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

constexpr int64_t kDay0 = 1772323200;  // 2026-03-01T00:00:00Z

class MetricsAggregatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateReportingSchema(*m_db, CountersTableLayoutFromMetrics(Tree(kMetrics)));
        Insert(kDay0 + 10, "101", "ann", "srv1", "Removed", "f1");
        Insert(kDay0 + 20, "101", "ann", "srv1", "Added", "f1");
        Insert(kDay0 + 3600 + 5, "102", "bob", "srv2", "Removed", "f2");
    }
    // A record of the one managed object "mo".
    void Insert(int64_t when, const char* product, const char* who, const char* where, const char* action, const char* what)
    {
        auto statement = m_db->Prepare(R"~(INSERT INTO "AuditRecords" ("When", "ManagedObjectUId", "ProductId", "Who",
            "Where", "What_Action", "What", "AuditingSystem", "DataSource", "ManagedObject", "ObjectType")
            VALUES (?1, 'mo', ?2, ?3, ?4, ?5, ?6, 1, 'ds', 'plan', 'File'))~");
        const SqlValue values[] = {when, product, who, where, action, what};
        for (size_t i = 0; i < 6; ++i) statement->Bind(i + 1, values[i]);
        while (statement->Next()) {
        }
    }
    // "mask preset span offset G1 G2 G3 G4 count" per counter row, "-" for an empty group column.
    std::string Counters()
    {
        const auto statement = m_db->Prepare(R"~(SELECT "GroupMask" || ' ' || "PresetId" || ' ' || "Span" || ' ' ||
            ("Ts" - ?1) || ' ' || coalesce("G1", '-') || ' ' || coalesce("G2", '-') || ' ' || coalesce("G3", '-') || ' ' ||
            coalesce("G4", '-') || ' ' || "Cnt" FROM "OverviewCounters"
            ORDER BY "GroupMask", "PresetId", "Span", "Ts", "G1", "G2", "G3", "G4")~");
        statement->Bind(1, kDay0);
        std::string text;
        while (statement->Next()) text += std::get<std::string>(statement->Column(0)) + "\n";
        return text;
    }

    TempDir m_folder;
    std::unique_ptr<IConnection> m_db = OpenTestDatabase(m_folder.File("a.db"), true);
    QueryTranslator m_translator{Tree(kTemplates), m_db->Dialect()};
};

TEST_F(MetricsAggregatorTest, BackfillCountsEachGroupForItsPresetPerHourAndLongerBucketAndMovesTheStart)
{
    auto store = CreateComponent<host::CConfigServer>();
    MetricsAggregator aggregator(*m_db, Tree(kMetrics), m_translator, "overview_records", store.Get());
    EXPECT_EQ(aggregator.Aggregate(kDay0 + 2 * 86400), 0);  // the metrics start now; history waits for backfill
    EXPECT_EQ(aggregator.StartTime(), kDay0 + 2 * 86400);
    EXPECT_EQ(Counters(), "");

    EXPECT_EQ(aggregator.Backfill(kDay0 + 1800, kDay0 + 2 * 86400), 48);
    EXPECT_EQ(aggregator.StartTime(), kDay0);
    // 0xF: G1 MO, G2 ProductId, G3 Who, G4 Where, default preset 1; 0x4D: G1 MO, G2 Who, G3 Where, G4 What,
    // its own preset 2 only. Each hour, then the four hours and the day from the start on (the four
    // days around it begin before the start: none).
    EXPECT_EQ(Counters(),
              "15 1 3600 0 mo 101 ann srv1 2\n"
              "15 1 3600 3600 mo 102 bob srv2 1\n"
              "15 1 14400 0 mo 101 ann srv1 2\n"
              "15 1 14400 0 mo 102 bob srv2 1\n"
              "15 1 86400 0 mo 101 ann srv1 2\n"
              "15 1 86400 0 mo 102 bob srv2 1\n"
              "77 2 3600 0 mo ann srv1 f1 1\n"
              "77 2 3600 3600 mo bob srv2 f2 1\n"
              "77 2 14400 0 mo ann srv1 f1 1\n"
              "77 2 14400 0 mo bob srv2 f2 1\n"
              "77 2 86400 0 mo ann srv1 f1 1\n"
              "77 2 86400 0 mo bob srv2 f2 1\n");
    EXPECT_EQ(ReadConfigNode(*store.Get(), MetricsAggregator::kStatusPath, true).GetAttributeOr("StartTime", ""),
              "2026-03-01T00:00:00Z");
    EXPECT_EQ(aggregator.Backfill(kDay0 + 7200, kDay0 + 2 * 86400), 0);  // not earlier: nothing to do

    // New records are counted into their hours and days on the next run, from the first hour they
    // touch: the backfilled history before it is not counted again.
    Insert(kDay0 + 3600 + 9, "102", "bob", "srv2", "Added", "f2");
    Insert(kDay0 + 2 * 86400 + 60, "101", "ann", "srv1", "Added", "f1");
    EXPECT_EQ(aggregator.Aggregate(kDay0 + 2 * 86400 + 120), 48);
    EXPECT_EQ(aggregator.Aggregate(kDay0 + 2 * 86400 + 180), 0);
    for (const int64_t span : {3600, 14400, 86400})
        EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT SUM("Cnt") FROM "OverviewCounters" WHERE "GroupMask" = 15 AND "PresetId" = 1
            AND "Span" = ?1)~", {span}), 5);
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT "Cnt" FROM "OverviewCounters" WHERE "GroupMask" = 15 AND "Span" = 3600
        AND "Ts" = ?1)~", {kDay0 + 3600}), 2);
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT "Cnt" FROM "OverviewCounters" WHERE "GroupMask" = 15 AND "Span" = 86400
        AND "Ts" = ?1 AND "G3" = 'bob')~", {kDay0}), 2);
}

TEST_F(MetricsAggregatorTest, CountersOfAnotherConfigurationAreDroppedAndCountedAnew)
{
    const int64_t now = kDay0 + 2 * 86400;
    MetricsAggregator(*m_db, Tree(kMetrics), m_translator, "overview_records").Backfill(kDay0, now);
    ASSERT_NE(Counters(), "");

    // One more table column, and the first group loses Where and ProductId: its mask changes.
    std::string changed(kMetrics);
    changed.replace(changed.find("G1|G2|G3|G4"), 11, "G1|G2|G3|G4|G5");
    changed.replace(changed.find("ManagedObjectUId|Who|Where|ProductId"), 36, "ManagedObjectUId|Who");
    MetricsAggregator aggregator(*m_db, Tree(changed), m_translator, "overview_records");
    EXPECT_EQ(aggregator.Aggregate(now), 0);
    EXPECT_EQ(aggregator.StartTime(), now) << "the metrics start anew";
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT COUNT(*) FROM "OverviewCounters")~"), 0);
    EXPECT_EQ(aggregator.Backfill(kDay0, now), 48);
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT COUNT(*) FROM "OverviewCounters" WHERE "GroupMask" = 15)~"), 0);
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT SUM("Cnt") FROM "OverviewCounters" WHERE "GroupMask" = 5 AND "Span" = 3600
        AND "G5" IS NULL)~"), 3);

    // The same configuration again keeps what was counted.
    MetricsAggregator(*m_db, Tree(changed), m_translator, "overview_records").Aggregate(now + 60);
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT SUM("Cnt") FROM "OverviewCounters" WHERE "GroupMask" = 5 AND "Span" = 86400)~"), 3);
}

TEST_F(MetricsAggregatorTest, ConfigurationsTheRecordsCannotServeAreRefused)
{
    std::string badPreset(kMetrics);
    badPreset.replace(badPreset.find("What_Action"), 11, "Status");
    const std::pair<std::string, const char*> cases[] = {
        {badPreset, "column 'Status' is not a column of query template 'overview_records'"},
        {R"~(<M GroupColumns:strs="G1" IdColumnName="Id" MaskColumnName="M" ConditionIdColumnName="C"
            CountColumnName="N" TimestampColumnName="T"><Group GroupAttributes:strs="Who" PresetConditionName="Missing"/></M>)~",
         "unknown preset condition 'Missing'"},
    };
    for (const auto& [metrics, message] : cases) {
        const std::string failure =
            ThrownBy([&] { MetricsAggregator(*m_db, Tree(metrics), m_translator, "overview_records"); }).text;
        EXPECT_NE(failure.find(message), std::string::npos) << failure;
    }
}

}  // namespace
}  // namespace cvn::reporting::test
