// One retrieve request with seven sub-requests through the gate's
// ProcessRequest, from the first call to the answer with status 1, against a
// queries processor that answers at once, so no retriever waits. Reports the
// time per sub-request at the default log severity and with logging off, in
// the same run.
// Then a dashboard's partial polls with the shipped intervals (WaitDataInterval
// 200, WaitIntervalMs 10) against statements that finish at staggered times:
// the complete answer against the slowest statement (the reference), and how
// long a finished statement waited for the poll answer that carried it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>
#include <mutex>
#include <string>

#include "bench/BenchSupport.h"
#include "common/Components/ModuleObject.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Logging/Logger.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "common/ServiceLayer/NamedServices.h"
#include "corvane/NamedInstances.h"
#include "host/services/HostServices.h"
#include "module/OverviewReportsProcessing/ClassTable.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"
#include "tests/support/QueriesProcessorStandIn.h"

namespace {

using namespace cvn;

constexpr int kSubRequests = 7;

class ReachableDatabase : public Implements<IRequestProcessor> {
public:
    HRESULT ProcessRequest(IQxNode*, IQxNode** response) noexcept override
    {
        QxNodePtr answer = QxNodePtr::Create("CheckDatabaseResponse");
        answer.SetAttribute("ResponseResult", int32_t{0});
        *response = answer.Detach();
        return S_OK;
    }
};

constexpr const char* kMetrics = R"(
<OverviewMetricsConfiguration GroupColumns:strs="G1|G2" IdColumnName="Id" MaskColumnName="GroupMask"
    ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts">
  <node q:name="ConditionPresets"><Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/></node>
  <Group GroupAttributes:strs="Who|Where"/>
</OverviewMetricsConfiguration>)";

constexpr const char* kGate = R"(
<node MetaInfoProviderNameInstance="Bench.MetaInfoProvider" ReportingSettingsCfgPath="\Settings\ReportingSettings"
      SqlConnectionCacheInSec:i32="30" TtlRequest:i64="60" GarbageCollectorRoutineInterval:i64="3600">
  <node q:name="DataSourceMapping"/>
  <node q:name="RetrieveCounters" WaitDataInterval:i64="10" DispatcherFactoryNameInstance="Bench.RetrieverFactory"
        MetaInfoProviderInstanceName="Bench.MetaInfoProvider"/>
</node>)";

constexpr const char* kFactory = R"(
<node MetaInfoProviderInstanceName="Bench.MetaInfoProvider">
  <node q:name="Retriever" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
  <node q:name="DefaultProcessorsConfig"/>
  <node q:name="RetrieveMethods">
    <node RetrieveMethod:i32="1" Processors:strs="MaskProcessor"/>
    <node RetrieveMethod:i32="2" Processors:strs=""/>
  </node>
</node>)";

constexpr const char* kProvider = R"(
<node DefaultTimeRangeInHour:i32="24" OverviewSettingsCfgPath="\Settings\OverviewSettings" EnableSettingsAttrName="Enabled">
  <node q:name="StaleRecordsExistenceChecker" DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60"
        SupressedProductIds:i32s="7" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
</node>)";

std::string Request(int subRequests)
{
    std::string text = R"(<RetrieveCountersRequest q:name="Bench" PartialResult:bool="false">
      <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>)";
    for (int i = 0; i < subRequests; ++i) text += "<RetrieveCountersSubRequest q:name=\"S" + std::to_string(i) + "\"/>";
    return text + "</RetrieveCountersRequest>";
}

/// A queries processor whose statement for sub-request "S<i>" finishes a scripted time after it was
/// accepted (the durations turned by a rotation, so each name is in turn the slow one); it keeps when
/// each statement finished and when a poll first carried its result away.
class TimedQueries : public Implements<IRequestProcessor> {
public:
    using Clock = std::chrono::steady_clock;

    explicit TimedQueries(std::vector<std::chrono::milliseconds> durations) : m_durations(std::move(durations)) {}

    void Rotate(size_t rotation)
    {
        std::lock_guard lock(m_lock);
        m_rotation = rotation;
    }

    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override
    try {
        const QxNodePtr node(request);
        *response = nullptr;
        std::lock_guard lock(m_lock);
        int64_t id = 0;
        if (!node.GetAttribute("HandleId", id)) {
            const std::string name = node.GetName();
            const size_t index = std::stoul(name.substr(1));
            if (index >= m_durations.size()) return E_INVALIDARG;
            id = m_nextId++;
            const auto readyAt = Clock::now() + m_durations[(index + m_rotation) % m_durations.size()];
            m_handles[id] = {name, readyAt};
            m_readyAt[name] = readyAt;
            m_fetchedAt.erase(name);
            QxNodePtr handle = QxNodePtr::Create("QueryHandle", "QueryHandle");
            handle.SetAttribute("HandleId", id);
            *response = handle.Detach();
            return S_OK;
        }
        const auto found = m_handles.find(id);
        if (found == m_handles.end()) return kHrNotFound;
        if (node.GetAttributeOr<bool>("FreeResult", false)) {
            m_handles.erase(found);
            return S_OK;
        }
        QxNodePtr answer = QxNodePtr::Create("Result");
        const auto now = Clock::now();
        const bool done = now >= found->second.readyAt;
        answer.SetAttribute("Status", int32_t{done ? 0 : 1});
        if (done) {
            answer.SetAttribute("Count", int64_t{1});
            m_fetchedAt.emplace(found->second.name, now);
        }
        *response = answer.Detach();
        return S_OK;
    }
    catch (...) {
        return E_FAIL;
    }

    /// When the sub-request's statement finished, and when its retriever fetched the result.
    std::pair<Clock::time_point, Clock::time_point> Times(const std::string& name)
    {
        std::lock_guard lock(m_lock);
        return {m_readyAt.at(name), m_fetchedAt.at(name)};
    }
    size_t Unreleased()
    {
        std::lock_guard lock(m_lock);
        return m_handles.size();
    }

private:
    struct Handle {
        std::string name;
        Clock::time_point readyAt;
    };
    std::vector<std::chrono::milliseconds> m_durations;
    std::mutex m_lock;
    size_t m_rotation = 0;
    int64_t m_nextId = 1;
    std::map<int64_t, Handle> m_handles;
    std::map<std::string, Clock::time_point> m_readyAt;
    std::map<std::string, Clock::time_point> m_fetchedAt;
};

/// The host with its services, a queries processor and the three configured components.
class Host {
public:
    /// waitDataMs and waitIntervalMs replace the gate's and the retrievers' intervals.
    Host(IRequestProcessor* queries, int64_t waitDataMs, int64_t waitIntervalMs)
    {
        m_services.Start({});
        WriteConfigNode(ConfigSource::AppConfigStorage, OverviewReportsProcessing::MaskHelper::kConfigurationPath,
                        QxNodePtr::Parse(kMetrics));
        WriteConfigNode(ConfigSource::ConfigServer, "\\Settings\\ReportingSettings",
                        QxNodePtr::Parse(R"(<node Enabled:bool="true"/>)"));
        m_services.ServiceClient()->RegisterService("Service.QueriesProcessor", queries);
        m_database = CreateComponent<ReachableDatabase>();
        m_services.ServiceClient()->RegisterService("Service.DatabaseManagementGate", m_database.Get());
        m_provider = Make(Corvane::CLSID_MetaInfoProvider, QxNodePtr::Parse(kProvider), u"Bench.MetaInfoProvider");
        const QxNodePtr factory = QxNodePtr::Parse(kFactory);
        factory.GetChild("Retriever").SetAttribute("WaitIntervalMs", waitIntervalMs);
        m_factory = Make(Corvane::CLSID_DataRetrieverFactory, factory, u"Bench.RetrieverFactory");
        const QxNodePtr gate = QxNodePtr::Parse(kGate);
        gate.GetChild("RetrieveCounters").SetAttribute("WaitDataInterval", waitDataMs);
        m_gateComponent = Make(Corvane::CLSID_CorvaneGate, gate, nullptr);
        m_gateComponent.As(m_gate);
    }
    ~Host()
    {
        for (auto* component : {&m_gateComponent, &m_factory, &m_provider}) {
            ComPtr<IComponentWithShutdown> withShutdown;
            if (component->As(withShutdown) == S_OK) withShutdown->Shutdown();
        }
        SkUnregisterNamedInstance(u"Bench.RetrieverFactory");
        SkUnregisterNamedInstance(u"Bench.MetaInfoProvider");
        m_gate.Reset();
        m_gateComponent.Reset();
        m_factory.Reset();
        m_provider.Reset();
        m_services.Stop();
    }

    /// First call and polls until status 1; false when the answer is anything else. Each poll answer
    /// is handed to seen.
    template <class Seen>
    bool Retrieve(const QxNodePtr& request, bool partial, Seen&& seen)
    {
        QxNodePtr first = Process(request);
        const QxNodePtr cookie = first.GetChild("RetrieveCookie", false);
        if (!cookie) return false;
        const std::string poll = R"(<RetrieveCountersRequest q:name="Poll" PartialResult:bool=")" +
                                 std::string(partial ? "true" : "false") + R"("><node q:name="RetrieveCookie" Token:guid=")" +
                                 cvn::GuidToText(cookie.GetRequiredAttribute<GUID>("Token")) +
                                 R"("/></RetrieveCountersRequest>)";
        for (;;) {
            const QxNodePtr answer = Process(QxNodePtr::Parse(poll));
            seen(answer);
            const int32_t status = answer.GetAttributeOr<int32_t>("RetrieveStatus", -1);
            if (status != 0) return status == 1;
        }
    }
    bool Retrieve(const QxNodePtr& request)
    {
        return Retrieve(request, false, [](const QxNodePtr&) {});
    }

private:
    ComPtr<IConfigurableComponent> Make(const GUID& clsid, const QxNodePtr& config, const char16_t* name)
    {
        ComPtr<IConfigurableComponent> component;
        ThrowIfFailed(ModuleObject::Instance().CreateInstance(&clsid, &IConfigurableComponent::kIid, component.PutVoid()));
        ThrowIfFailed(component->Configure(config.Get()));
        if (name) ThrowIfFailed(SkRegisterNamedInstance(name, component.Get()));
        return component;
    }
    QxNodePtr Process(const QxNodePtr& request) { return bench::Call(*m_gate, request); }

    host::HostServices m_services;
    ComPtr<CComponentObject<ReachableDatabase>> m_database;
    ComPtr<IConfigurableComponent> m_provider;
    ComPtr<IConfigurableComponent> m_factory;
    ComPtr<IConfigurableComponent> m_gateComponent;
    ComPtr<IRequestProcessor> m_gate;
};

void SetSeverity(const char* maxSeverity)
{
    if (maxSeverity)
        setenv("GS_Logger_MaxSeverity", maxSeverity, 1);
    else
        unsetenv("GS_Logger_MaxSeverity");
    log::Logger::Instance().Invalidate();
}

void RunRetrieve(benchmark::State& state, const char* maxSeverity)
{
    SetSeverity(maxSeverity);
    const auto queries = CreateComponent<host::CQueriesProcessorStandIn>();
    queries->SetScript(host::QueryScript{0, R"(<Result Count:i64="1"/>)"});
    double totalMs = 0;
    {
        Host host(queries.Get(), 10, 1);
        const QxNodePtr request = QxNodePtr::Parse(Request(kSubRequests));
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            if (!host.Retrieve(request)) {
                state.SkipWithError("the retrieve request did not end with status 1");
                break;
            }
            totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        }
    }
    const double perRequestMs = state.iterations() ? totalMs / static_cast<double>(state.iterations()) : 0;
    state.counters["request_ms"] = perRequestMs;
    state.counters["per_sub_request_ms"] = perRequestMs / kSubRequests;
    state.counters["unreleased_handles"] = static_cast<double>(queries->UnreleasedHandles().size());
    SetSeverity(nullptr);
}

// Six statements finishing from firstMs on, every stepMs, and one taking slowMs when that is not 0;
// the dashboard polls partially until status 1.
void RunStaggered(benchmark::State& state)
{
    using namespace std::chrono;
    std::vector<milliseconds> durations;
    for (int i = 0; i < 6; ++i) durations.push_back(milliseconds(state.range(0) + i * state.range(1)));
    if (state.range(2) != 0) durations.push_back(milliseconds(state.range(2)));
    const size_t statements = durations.size();
    const auto queries = CreateComponent<TimedQueries>(durations);
    double completeMs = 0;
    double worstReadyMs = 0;
    double readySumMs = 0;
    double worstFetchedMs = 0;
    double fetchedSumMs = 0;
    size_t rotation = 0;
    {
        Host host(queries.Get(), 200, 10);
        const QxNodePtr request = QxNodePtr::Parse(Request(static_cast<int>(statements)));
        for (auto _ : state) {
            queries->Rotate(rotation++);
            const auto start = steady_clock::now();
            std::set<std::string> delivered;
            const bool complete = host.Retrieve(request, true, [&](const QxNodePtr& answer) {
                const auto now = steady_clock::now();
                for (const QxNodePtr& sub : answer.GetChildren()) {
                    if (sub.GetType() != "RetrieveCountersSubResponse" || sub.GetAttributeOr<int32_t>("RetrieveStatus", 0) == 0)
                        continue;
                    if (!delivered.insert(sub.GetName()).second) continue;
                    const auto [readyAt, fetchedAt] = queries->Times(sub.GetName());
                    const double ready = duration<double, std::milli>(now - readyAt).count();
                    const double fetched = duration<double, std::milli>(now - fetchedAt).count();
                    worstReadyMs = std::max(worstReadyMs, ready);
                    readySumMs += ready;
                    worstFetchedMs = std::max(worstFetchedMs, fetched);
                    fetchedSumMs += fetched;
                }
            });
            if (!complete || delivered.size() != statements) {
                state.SkipWithError("the retrieve request did not deliver every statement and end with status 1");
                break;
            }
            completeMs += duration<double, std::milli>(steady_clock::now() - start).count();
        }
    }
    const double iterations = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    const double results = iterations * static_cast<double>(statements);
    const double slowestMs = duration<double, std::milli>(*std::max_element(durations.begin(), durations.end())).count();
    state.counters["complete_ms"] = completeMs / iterations;
    state.counters["slowest_statement_ms"] = slowestMs;
    state.counters["complete_vs_slowest"] = completeMs / iterations / slowestMs;
    // From the statement's end: includes up to one retriever interval (10 ms) before the result is fetched.
    state.counters["worst_ready_to_answer_ms"] = worstReadyMs;
    state.counters["mean_ready_to_answer_ms"] = readySumMs / results;
    // From the retriever's fetch: the poll's own share.
    state.counters["worst_fetched_to_answer_ms"] = worstFetchedMs;
    state.counters["mean_fetched_to_answer_ms"] = fetchedSumMs / results;
    state.counters["unreleased_handles"] = static_cast<double>(queries->Unreleased());
}

void BM_Retrieve7_DefaultSeverity(benchmark::State& state) { RunRetrieve(state, nullptr); }
void BM_Retrieve7_LoggingOff(benchmark::State& state) { RunRetrieve(state, "NONE"); }

BENCHMARK(BM_Retrieve7_DefaultSeverity)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Retrieve7_LoggingOff)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
// Six results ready at 35-55 ms beside one statement of 600 ms; six statements of 300-500 ms.
BENCHMARK(RunStaggered)->Name("BM_Staggered_ShippedIntervals")->Args({35, 4, 600})->Args({300, 40, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(14);

}  // namespace

BENCHMARK_MAIN();
