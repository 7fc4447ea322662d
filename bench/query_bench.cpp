// Counters query of a 30-day range with edges off the hour on a million
// generated records, an hour's worth of them written after the last aggregation:
// the fast (counters) template and the records template, each through the
// queries processor service (handle, polls, result node, free) and through the
// translator and storage layer alone, against the equivalent hand-written SQL
// run directly. Both templates give the same counts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "bench/BenchSupport.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/metrics/CountersQuery.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/processor/QueriesProcessorService.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/sample/SampleDataGenerator.h"

using namespace cvn;
using namespace cvn::reporting;

namespace {

constexpr int64_t kEnd = 1772323200;  // 2026-03-01T00:00:00Z
const char* kMetrics = R"~(<M GroupColumns:strs="G1|G2|G3|G4" IdColumnName="Id" MaskColumnName="GroupMask"
    ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts">
  <node q:name="ConditionPresets"><Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/></node>
  <Group GroupAttributes:strs="ManagedObjectUId|ProductId"/></M>)~";
const char* kTemplates = R"~(<QueryTemplates>
  <Template q:name="overview_counters" Table="OverviewCounters" CountExpression="SUM(t.&quot;Cnt&quot;)"
      Columns:strs="G1|G2|G3|G4|GroupMask|PresetId|Ts" TimeColumn="Ts" RecordsTemplate="overview_records"/>
  <Template q:name="overview_records" Table="AuditRecords" CountExpression="COUNT(*)" TimeColumn="When"
      Columns:strs="When|ProductId|ManagedObjectUId|Who|Where"/></QueryTemplates>)~";
const char* kFast = R"~(<Query Query_Template_Name="overview_counters"><ConditionsRoot><Condition operator="AND">
  <ConditionValues Columnn="PresetId" AliasColumn="ConditionId" Comparator="=" Value:i64="1"/>
  <ConditionValues Columnn="GroupMask" AliasColumn="Mask" Comparator="=" Value:i32="3"/>
  <ConditionValues Columnn="Ts" AliasColumn="When" Comparator="&gt;=" Value="2026-01-30T00:17:00Z"/>
  <ConditionValues Columnn="Ts" AliasColumn="When" Comparator="&lt;" Value="2026-02-28T23:41:00Z"/></Condition></ConditionsRoot>
  <GroupByRoot><GroupByRootEntry Column="G2" AliasColumn="ProductId"/></GroupByRoot></Query>)~";
const char* kRecords = R"~(<Query Query_Template_Name="overview_records"><ConditionsRoot><Condition operator="AND">
  <ConditionValues Columnn="When" Comparator="&gt;=" Value="2026-01-30T00:17:00Z"/>
  <ConditionValues Columnn="When" Comparator="&lt;" Value="2026-02-28T23:41:00Z"/></Condition></ConditionsRoot>
  <GroupByRoot><GroupByRootEntry Column="ProductId"/></GroupByRoot></Query>)~";
const char* kDirect = R"~(SELECT "ProductId", COUNT(*) FROM "AuditRecords" WHERE "When" >= 1769732220 AND "When" < 1772322060 GROUP BY 1)~";

struct Fixture {
    std::unique_ptr<IConnection> db;
    std::unique_ptr<QueryTranslator> translator;
    std::unique_ptr<CountersQueryTranslator> counters;
    ComPtr<CComponentObject<CQueriesProcessor>> processor;
};

Fixture& Data()
{
    static Fixture fixture = [] {
        const std::string path = (std::filesystem::temp_directory_path() / "corvane-query-bench.db").string();
        std::filesystem::remove(path);
        SampleDataGenerator generator({.seed = 1, .records = 1000000, .days = 30, .endTime = kEnd});
        const QxNodePtr metrics = QxNodePtr::Parse(kMetrics);
        WriteSampleDatabase(StorageSettingsForFile(path), generator, CountersTableLayoutFromMetrics(metrics));
        Fixture f{OpenStorage(StorageSettingsForFile(path)), nullptr};
        f.translator = std::make_unique<QueryTranslator>(QxNodePtr::Parse(kTemplates), f.db->Dialect());
        MetricsAggregator aggregator(*f.db, metrics, *f.translator, "overview_records");
        aggregator.Aggregate(kEnd);
        aggregator.Backfill(generator.StartTime(), kEnd);
        // An hour's worth of records (1/720 of 30 days) arrives after the aggregation, spread over the range.
        f.db->Execute(R"~(INSERT INTO "AuditRecords" ("When", "ProductId", "AuditingSystem", "DataSource",
            "ManagedObjectUId", "ManagedObject", "Who", "Where", "ObjectType", "What_Action", "What")
            SELECT "When" + 1, "ProductId", "AuditingSystem", "DataSource", "ManagedObjectUId", "ManagedObject", "Who",
            "Where", "ObjectType", "What_Action", "What" FROM "AuditRecords" WHERE "Id" % 720 = 0)~");
        f.counters = std::make_unique<CountersQueryTranslator>(*f.translator, metrics);
        const QxNodePtr config = QxNodePtr::Create("QueriesProcessor");
        config.SetAttribute("DatabasePath", path);
        config.AddChild(QxNodePtr::Parse(kTemplates));
        const QxNodePtr metricsChild = metrics.Clone();
        metricsChild.SetName("Metrics");
        config.AddChild(metricsChild);
        f.processor = CreateQueriesProcessor(config);
        return f;
    }();
    return fixture;
}

int64_t Total(Fixture& f, const QxNodePtr& node)
{
    const TranslatedQuery translated = f.counters->Serves(node) ? f.counters->Translate(node, ReadCountersCoverage(*f.db))
                                                                : f.translator->Translate(node);
    return bench::RunDirect(*f.db, translated);
}

void Translated(benchmark::State& state, const char* query)
{
    Fixture& f = Data();
    const QxNodePtr node = QxNodePtr::Parse(query);
    for (auto _ : state) benchmark::DoNotOptimize(Total(f, node));
}

using bench::Call;

/// As the module's retriever does: send, poll the handle until the result is there, free it.
void ThroughProcessor(benchmark::State& state, const char* query)
{
    Fixture& f = Data();
    const QxNodePtr node = QxNodePtr::Parse(query);
    for (auto _ : state) {
        const GUID handle = Call(*f.processor, node).GetRequiredAttribute<GUID>("Handle");
        const QxNodePtr poll = QxNodePtr::Create("Poll");
        poll.SetAttribute("Handle", handle);
        QxNodePtr result = Call(*f.processor, poll);
        while (result.GetAttributeOr<int32_t>("Status", 0) == 1) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));  // leave the core to the worker
            result = Call(*f.processor, poll);
        }
        if (result.HasAttribute("Error_Result")) state.SkipWithError("the query failed");
        int64_t total = 0;
        for (const QxNodePtr& row : result.GetChildren()) total += row.GetAttributeOr<int64_t>("Count", 0);
        benchmark::DoNotOptimize(total);
        poll.SetAttribute("FreeResult", true);
        Call(*f.processor, poll);
    }
}

void BM_FastTemplate(benchmark::State& state) { Translated(state, kFast); }
void BM_RecordsTemplate(benchmark::State& state) { Translated(state, kRecords); }
void BM_FastThroughProcessor(benchmark::State& state) { ThroughProcessor(state, kFast); }
void BM_RecordsThroughProcessor(benchmark::State& state) { ThroughProcessor(state, kRecords); }
void BM_DirectSql(benchmark::State& state)
{
    Fixture& f = Data();
    for (auto _ : state) {
        auto statement = f.db->Prepare(kDirect);
        benchmark::DoNotOptimize(bench::Drain(*statement));
    }
}
BENCHMARK(BM_FastTemplate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordsTemplate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectSql)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastThroughProcessor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordsThroughProcessor)->Unit(benchmark::kMillisecond)->UseRealTime();

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
        const double direct = m_times["BM_DirectSql"], fast = m_times["BM_FastTemplate"], records = m_times["BM_RecordsTemplate"];
        const double fastService = m_times["BM_FastThroughProcessor/real_time"],
                     recordsService = m_times["BM_RecordsThroughProcessor/real_time"];
        if (direct > 0 && fast > 0)
            std::printf("records template, translator and storage / direct SQL: %.3f\n"
                        "records template, translator and storage / fast template: %.1f\n",
                        records / direct, records / fast);
        if (direct > 0 && fastService > 0)
            std::printf("records template through the queries processor / direct SQL: %.3f (goal < 1.10)\n"
                        "records / fast, both through the queries processor: %.1f (goal >= 20)\n",
                        recordsService / direct, recordsService / fastService);
    }

private:
    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    // Speed of a wrong answer is worth nothing.
    const int64_t fast = Total(Data(), QxNodePtr::Parse(kFast)), records = Total(Data(), QxNodePtr::Parse(kRecords));
    if (fast != records) {
        std::fprintf(stderr, "the fast template counts %lld, the records template %lld\n", static_cast<long long>(fast),
                     static_cast<long long>(records));
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
