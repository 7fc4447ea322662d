// Counters queries answer as the records do: random ranges on arbitrary
// minutes, zones with :30 and :45 offsets, hour, day and month buckets, lists
// in and out, both presets and a group not counted for one, records written
// after the aggregation, history before the metrics start, and counters made
// for another configuration.
#include <gtest/gtest.h>

#include <random>

#include "host/reporting/metrics/CountersQuery.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/storage/Schema.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

constexpr int64_t kStart = 1767225600;  // 2026-01-01T00:00:00Z
constexpr int64_t kDay = 86400;

std::string Templates(const std::string& part)
{
    return R"~(<QueryTemplates>
      <Template q:name="counters" Table="OverviewCounters" CountExpression="SUM(t.&quot;Cnt&quot;)" TimeColumn="Ts"
          TimeGroupPart=")~" + part + R"~(" RecordsTemplate="records" Columns:strs="G1|G2|G3|G4|GroupMask|PresetId|Ts"/>
      <Template q:name="records" Table="AuditRecords" CountExpression="COUNT(*)" TimeColumn="When"
          TimeGroupPart=")~" + part + R"~(" Columns:strs="When|ProductId|ManagedObjectUId|Who|Where|What|What_Action"/>
    </QueryTemplates>)~";
}

class CountersQueryTest : public ::testing::TestWithParam<const char*> {
protected:
    void Insert(int count, int64_t from, int64_t till)
    {
        const char* who[] = {"ann", "bob", "cy", "dee", "ed"};
        Transaction batch(*m_db);
        auto statement = m_db->Prepare(R"~(INSERT INTO "AuditRecords" ("When", "ManagedObjectUId", "ProductId", "Who",
            "Where", "What_Action", "What", "AuditingSystem", "DataSource", "ManagedObject", "ObjectType")
            VALUES (?1, 'mo', ?2, ?3, ?4, ?5, 'f', 1, 'ds', 'plan', 'File'))~");
        for (int i = 0; i < count; ++i) {
            const SqlValue values[] = {Uniform(from, till - 1), std::to_string(101 + Uniform(0, 2)),
                                       std::string(who[Uniform(0, 4)]), std::string(Uniform(0, 1) ? "srv1" : "srv2"),
                                       std::string(Uniform(0, 2) ? "Added" : "Removed")};
            for (size_t v = 0; v < std::size(values); ++v) statement->Bind(v + 1, values[v]);
            while (statement->Next()) {
            }
            statement->Reset();
        }
        statement.reset();
        batch.Commit();
    }
    int64_t Uniform(int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(m_random); }

    std::mt19937_64 m_random{7};
    TempDir m_folder;
    std::unique_ptr<IConnection> m_db = OpenTestDatabase(m_folder.File("a.db"), true);
};

TEST_P(CountersQueryTest, AnswersAsTheRecordsForAnyRangeZoneBucketAndCoverage)
{
    const QxNodePtr metrics = Tree(kMetrics);
    CreateReportingSchema(*m_db, CountersTableLayoutFromMetrics(metrics));
    const QueryTranslator translator(Tree(Templates(GetParam())), m_db->Dialect());
    const CountersQueryTranslator counters(translator, metrics);
    Insert(3000, kStart, kStart + 100 * kDay);
    MetricsAggregator aggregator(*m_db, metrics, translator, "records");
    aggregator.Aggregate(kStart + 100 * kDay);
    aggregator.Backfill(kStart + 30 * kDay + 1234, kStart + 100 * kDay);  // the first month stays uncovered
    Insert(100, kStart + 50 * kDay + 3 * 3600, kStart + 50 * kDay + 9 * 3600);  // re-counts a few hours ...
    aggregator.Aggregate(kStart + 100 * kDay);  // ... and the longer buckets around them
    Insert(300, kStart, kStart + 101 * kDay);                                // written after the aggregation
    const CountersCoverage coverage = ReadCountersCoverage(*m_db);
    const CountersCoverage otherDefinition{coverage.startTime, coverage.lastRecordId, coverage.definition + ";another"};

    const int64_t zones[] = {-12 * 3600, -34200, -12600, 0, 19800, 20700, 31500, 45900, 14 * 3600};
    for (int round = 0; round < 60; ++round) {
        // Group 0xF: G2 ProductId, G3 Who; group 0x4D (preset 2, removals): G2 Who, G3 Where. Group 0x4D
        // under preset 1 is not counted: the records answer it alone.
        const int64_t kind = Uniform(0, 3);
        const bool removals = kind == 0, uncounted = kind == 1, mask77 = removals || uncounted;
        const std::string who = mask77 ? "G2" : "G3", other = mask77 ? "G3" : "G2";
        const std::string otherName = mask77 ? "Where" : "ProductId";
        const int64_t from = kStart + Uniform(-5 * 1440, 105 * 1440) * 60;
        const int64_t till = from + Uniform(1, 70 * 1440) * 60;
        const int64_t offset = zones[Uniform(0, std::size(zones) - 1)];
        const int shape = static_cast<int>(Uniform(0, 2));
        const std::string list = Uniform(0, 1) ? "IN" : "NOT IN";
        SCOPED_TRACE(FormatUtcTime(from) + " to " + FormatUtcTime(till) + ", offset " + std::to_string(offset) +
                     ", shape " + std::to_string(shape) + ", " + list + (removals ? ", removals" : "") +
                     (uncounted ? ", uncounted" : ""));

        // The same question over the counters' columns and over the records'.
        auto query = [&](bool onCounters) {
            const auto column = [&](const std::string& counter, const std::string& logical) {
                return onCounters ? counter + "\" AliasColumn=\"" + logical : logical;
            };
            std::string text = "<Query Query_Template_Name=\"" + std::string(onCounters ? "counters" : "records") +
                               "\" DateTimeOffset:i64=\"" + std::to_string(offset) +
                               "\"><ConditionsRoot><Condition operator=\"AND\">";
            if (onCounters)
                text += "<ConditionValues Columnn=\"GroupMask\" Comparator=\"=\" Value:i64=\"" +
                        std::string(mask77 ? "77" : "15") + "\"/><ConditionValues Columnn=\"PresetId\" Comparator=\"=\" Value:i64=\"" +
                        (removals ? "2" : "1") + "\"/>";
            else if (removals)
                text += R"(<ConditionValues Columnn="What_Action" Comparator="=" Value="Removed"/>)";
            text += "<ConditionValues Columnn=\"" + column("Ts", "When") + "\" Comparator=\"&gt;=\" Value=\"" +
                    FormatUtcTime(from) + "\"/><ConditionValues Columnn=\"" + column("Ts", "When") +
                    "\" Comparator=\"&lt;\" Value=\"" + FormatUtcTime(till) + "\"/>";
            text += "<Condition operator=\"" + list + "\"><ConditionValues Columnn=\"" + column(who, "Who") +
                    "\" Values:strs=\"ann|cy\"/></Condition></Condition></ConditionsRoot>";
            if (shape == 1)
                text += "<GroupByRoot><GroupByRootEntry Column=\"" + column(other, otherName) + "\"/></GroupByRoot>";
            if (shape == 2)
                text += "<GroupByRoot><GroupByRootEntry Column=\"" + column("Ts", "When") + "\"/></GroupByRoot>";
            return Tree(text + "</Query>");
        };
        const TranslatedQuery records = translator.Translate(query(false));
        const auto expected = CountedRows(*m_db, records.sql, records.parameters);
        for (const CountersCoverage* given : {&coverage, &otherDefinition}) {
            const TranslatedQuery fast = counters.Translate(query(true), *given);
            EXPECT_EQ(CountedRows(*m_db, fast.sql, fast.parameters), expected) << fast.sql;
        }
    }
}

// A bound far past any record (the largest integer) was read as that many 16-day buckets, one at a time;
// a start off the hour, one hour at a time.
TEST_P(CountersQueryTest, ARangeEndingFarInTheFutureIsAnsweredAsTheRecordsAre)
{
    const QxNodePtr metrics = Tree(kMetrics);
    CreateReportingSchema(*m_db, CountersTableLayoutFromMetrics(metrics));
    const QueryTranslator translator(Tree(Templates(GetParam())), m_db->Dialect());
    const CountersQueryTranslator counters(translator, metrics);
    Insert(500, kStart, kStart + 40 * kDay);
    MetricsAggregator aggregator(*m_db, metrics, translator, "records");
    aggregator.Aggregate(kStart + 40 * kDay);
    aggregator.Backfill(kStart, kStart + 40 * kDay);
    const auto query = [](bool onCounters) {
        const std::string when = onCounters ? R"(Columnn="Ts" AliasColumn="When")" : R"(Columnn="When")";
        std::string text = std::string(R"(<Query Query_Template_Name=")") + (onCounters ? "counters" : "records") +
                           R"("><ConditionsRoot>)";
        if (onCounters)
            text += R"(<ConditionValues Columnn="GroupMask" Comparator="=" Value:i64="15"/>
                       <ConditionValues Columnn="PresetId" Comparator="=" Value:i64="1"/>)";
        text += "<ConditionValues " + when + R"( Comparator="&gt;=" Value="2026-01-04T05:00:00Z"/>)";
        text += "<ConditionValues " + when + R"( Comparator="&lt;" Value:i64="9223372036854775807"/></ConditionsRoot>)";
        text += std::string("<GroupByRoot><GroupByRootEntry ") +
                (onCounters ? R"(Column="G3" AliasColumn="Who")" : R"(Column="Who")") + "/></GroupByRoot></Query>";
        return Tree(text);
    };
    const TranslatedQuery records = translator.Translate(query(false));
    const auto expected = CountedRows(*m_db, records.sql, records.parameters);
    // Also with a stored start off the hour, which left every bucket unaligned.
    CountersCoverage coverage = ReadCountersCoverage(*m_db);
    for (const int64_t shift : {0, 1800}) {
        coverage.startTime = *coverage.startTime + shift;
        const TranslatedQuery fast = counters.Translate(query(true), coverage);
        EXPECT_NE(fast.sql.find("\"Span\""), std::string::npos) << "the counters serve the range: " << fast.sql;
        EXPECT_EQ(CountedRows(*m_db, fast.sql, fast.parameters), expected) << shift;
    }
}

INSTANTIATE_TEST_SUITE_P(HourDayAndMonthBuckets, CountersQueryTest, ::testing::Values("hour", "day", "month"));

TEST(CountersQueryShapes, QueriesTheCountersCannotAnswerAreRefusedNamingWhy)
{
    const TempDir folder;
    const auto db = OpenTestDatabase(folder.File("a.db"), true);
    CreateReportingSchema(*db, CountersTableLayoutFromMetrics(Tree(kMetrics)));
    const QueryTranslator translator(Tree(Templates("day")), db->Dialect());
    const CountersQueryTranslator counters(translator, Tree(kMetrics));
    const std::pair<const char*, const char*> cases[] = {
        {R"(<Query Query_Template_Name="counters"><ConditionsRoot><ConditionValues Columnn="GroupMask" Comparator="=" Value:i64="15"/></ConditionsRoot></Query>)",
         "needs 'GroupMask' = and 'PresetId' = conditions at its top level"},
        {R"(<Query Query_Template_Name="counters"><ConditionsRoot><ConditionValues Columnn="GroupMask" Comparator="=" Value:i64="3"/>
             <ConditionValues Columnn="PresetId" Comparator="=" Value:i64="1"/></ConditionsRoot></Query>)",
         "no counters group has mask 3"},
        {R"(<Query Query_Template_Name="counters"><ConditionsRoot><ConditionValues Columnn="GroupMask" Comparator="=" Value:i64="15"/>
             <ConditionValues Columnn="PresetId" Comparator="=" Value:i64="9"/></ConditionsRoot></Query>)",
         "no preset condition has the id 9"},
        {R"(<Query Query_Template_Name="counters"><ConditionsRoot><ConditionValues Columnn="GroupMask" Comparator="=" Value:i64="15"/>
             <ConditionValues Columnn="PresetId" Comparator="=" Value:i64="1"/><ConditionValues Columnn="Cnt" Comparator="=" Value:i64="1"/>
             </ConditionsRoot></Query>)",
         "column 'Cnt' of the counters of mask 15 has no column in the records"},
    };
    EXPECT_FALSE(counters.Serves(Tree(R"(<Query Query_Template_Name="records"/>)")));
    for (const auto& [text, message] : cases) {
        const QxNodePtr query = Tree(text);
        EXPECT_TRUE(counters.Serves(query));
        const std::string failure = ThrownBy([&] { counters.Translate(query, ReadCountersCoverage(*db)); }).text;
        EXPECT_NE(failure.find(message), std::string::npos) << failure;
    }
}

}  // namespace
}  // namespace cvn::reporting::test
