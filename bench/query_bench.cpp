// Counters query of a 30-day range on a million generated records: the fast
// (counters) template, grouped by plan and product, and the records template through the translator and the
// storage layer, against the equivalent hand-written SQL run directly.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "NodeAccess/QxNodePtr.h"
#include "reporting/MetricsAggregator.h"
#include "reporting/QueryTranslator.h"
#include "reporting/SampleDataGenerator.h"

using namespace corvane;
using namespace corvane::reporting;

namespace {

constexpr int64_t kEnd = 1772323200;  // 2026-03-01T00:00:00Z
const char* kMetrics = R"~(<M GroupColumns:strs="G1|G2|G3|G4" IdColumnName="Id" MaskColumnName="GroupMask"
    ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts">
  <node q:name="ConditionPresets"><Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/></node>
  <Group GroupAttributes:strs="ManagedObjectUId|ProductId"/></M>)~";
const char* kTemplates = R"~(<QueryTemplates>
  <Template q:name="overview_counters" Table="OverviewCounters" CountExpression="SUM(t.&quot;Cnt&quot;)"
      Columns:strs="G1|G2|G3|G4|GroupMask|PresetId|Ts" TimeColumn="Ts"/>
  <Template q:name="overview_records" Table="AuditRecords" CountExpression="COUNT(*)" TimeColumn="When"
      Columns:strs="When|ProductId|ManagedObjectUId|Who|Where"/></QueryTemplates>)~";
const char* kFast = R"~(<Query Query_Template_Name="overview_counters"><ConditionsRoot><Condition operator="AND">
  <ConditionValues Columnn="PresetId" AliasColumn="ConditionId" Comparator="=" Value:i64="1"/>
  <ConditionValues Columnn="GroupMask" AliasColumn="Mask" Comparator="=" Value:i32="3"/>
  <ConditionValues Columnn="Ts" AliasColumn="When" Comparator="&gt;=" Value="2026-01-30T00:00:00Z"/>
  <ConditionValues Columnn="Ts" AliasColumn="When" Comparator="&lt;" Value="2026-03-01T00:00:00Z"/></Condition></ConditionsRoot>
  <GroupByRoot><GroupByRootEntry Column="G2" AliasColumn="ProductId"/></GroupByRoot></Query>)~";
const char* kRecords = R"~(<Query Query_Template_Name="overview_records"><ConditionsRoot><Condition operator="AND">
  <ConditionValues Columnn="When" Comparator="&gt;=" Value="2026-01-30T00:00:00Z"/>
  <ConditionValues Columnn="When" Comparator="&lt;" Value="2026-03-01T00:00:00Z"/></Condition></ConditionsRoot>
  <GroupByRoot><GroupByRootEntry Column="ProductId"/></GroupByRoot></Query>)~";
const char* kDirect = R"~(SELECT "ProductId", COUNT(*) FROM "AuditRecords" WHERE "When" >= 1769731200 AND "When" < 1772323200 GROUP BY 1)~";

struct Fixture {
    std::unique_ptr<IConnection> db;
    std::unique_ptr<QueryTranslator> translator;
};

Fixture& Data()
{
    static Fixture fixture = [] {
        const std::string path = (std::filesystem::temp_directory_path() / "corvane-query-bench.db").string();
        std::filesystem::remove(path);
        SampleDataGenerator generator({.seed = 1, .records = 1000000, .days = 30, .endTime = kEnd});
        const QxNodePtr metrics = QxNodePtr::Parse(kMetrics);
        WriteSampleDatabase(path, generator, CountersTableLayoutFromMetrics(metrics));
        Fixture f{OpenSqlite(path, false), nullptr};
        f.translator = std::make_unique<QueryTranslator>(QxNodePtr::Parse(kTemplates), f.db->Dialect());
        MetricsAggregator aggregator(*f.db, metrics, *f.translator, "overview_records");
        aggregator.Aggregate(kEnd);
        aggregator.Backfill(generator.StartTime(), kEnd);
        return f;
    }();
    return fixture;
}

int64_t Drain(IStatement& statement)
{
    int64_t total = 0;
    while (statement.Next()) total += std::get<int64_t>(statement.Column(statement.ColumnCount() - 1));
    return total;
}

void Translated(benchmark::State& state, const char* query)
{
    Fixture& f = Data();
    const QxNodePtr node = QxNodePtr::Parse(query);
    for (auto _ : state) {
        const TranslatedQuery translated = f.translator->Translate(node);
        auto statement = f.db->Prepare(translated.sql);
        for (size_t i = 0; i < translated.parameters.size(); ++i) statement->Bind(i + 1, translated.parameters[i]);
        benchmark::DoNotOptimize(Drain(*statement));
    }
}

void BM_FastTemplate(benchmark::State& state) { Translated(state, kFast); }
void BM_RecordsTemplate(benchmark::State& state) { Translated(state, kRecords); }
void BM_DirectSql(benchmark::State& state)
{
    Fixture& f = Data();
    for (auto _ : state) {
        auto statement = f.db->Prepare(kDirect);
        benchmark::DoNotOptimize(Drain(*statement));
    }
}
BENCHMARK(BM_FastTemplate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordsTemplate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectSql)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double fast = m_times["BM_FastTemplate"], records = m_times["BM_RecordsTemplate"], direct = m_times["BM_DirectSql"];
        if (fast > 0 && direct > 0)
            std::printf("records template / direct SQL: %.3f (goal < 1.10)\nrecords template / fast template: %.1f (goal >= 20)\n",
                        records / direct, records / fast);
    }

private:
    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
