// One retrieve request with seven sub-requests through the gate's
// ProcessRequest, from the first call to the answer with status 1, against a
// queries processor that answers at once; WaitIntervalMs 1. Reports the time
// per sub-request beyond the configured wait, at the default log severity and
// with logging off, in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

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
constexpr double kWaitIntervalMs = 1.0;  // one poll and one wait per sub-request, all running at once

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

std::string Request()
{
    std::string text = R"(<RetrieveCountersRequest q:name="Bench" PartialResult:bool="false">
      <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>)";
    for (int i = 0; i < kSubRequests; ++i) text += "<RetrieveCountersSubRequest q:name=\"S" + std::to_string(i) + "\"/>";
    return text + "</RetrieveCountersRequest>";
}

/// The host with its services, the scripted queries processor and the three configured components.
class Host {
public:
    Host()
    {
        m_services.Start({});
        WriteConfigNode(ConfigSource::AppConfigStorage, OverviewReportsProcessing::MaskHelper::kConfigurationPath,
                        QxNodePtr::Parse(kMetrics));
        WriteConfigNode(ConfigSource::ConfigServer, "\\Settings\\ReportingSettings",
                        QxNodePtr::Parse(R"(<node Enabled:bool="true"/>)"));
        m_queries = CreateComponent<host::CQueriesProcessorStandIn>();
        m_queries->SetScript(host::QueryScript{0, R"(<Result Count:i64="1"/>)"});
        m_services.ServiceClient()->RegisterService("Service.QueriesProcessor", m_queries.Get());
        m_database = CreateComponent<ReachableDatabase>();
        m_services.ServiceClient()->RegisterService("Service.DatabaseManagementGate", m_database.Get());
        m_provider = Make(Corvane::CLSID_MetaInfoProvider, kProvider, u"Bench.MetaInfoProvider");
        m_factory = Make(Corvane::CLSID_DataRetrieverFactory, kFactory, u"Bench.RetrieverFactory");
        m_gateComponent = Make(Corvane::CLSID_CorvaneGate, kGate, nullptr);
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

    /// First call and polls until status 1; false when the answer is anything else.
    bool Retrieve(const QxNodePtr& request)
    {
        QxNodePtr first = Process(request);
        const QxNodePtr cookie = first.GetChild("RetrieveCookie", false);
        if (!cookie) return false;
        const std::string poll = R"(<RetrieveCountersRequest q:name="Poll" PartialResult:bool="false"><node q:name="RetrieveCookie" Token:guid=")" +
                                 cvn::GuidToText(cookie.GetRequiredAttribute<GUID>("Token")) +
                                 R"("/></RetrieveCountersRequest>)";
        for (;;) {
            const int32_t status = Process(QxNodePtr::Parse(poll)).GetAttributeOr<int32_t>("RetrieveStatus", -1);
            if (status != 0) return status == 1;
        }
    }
    size_t Unreleased() const { return m_queries->UnreleasedHandles().size(); }

private:
    ComPtr<IConfigurableComponent> Make(const GUID& clsid, const char* config, const char16_t* name)
    {
        ComPtr<IConfigurableComponent> component;
        ThrowIfFailed(ModuleObject::Instance().CreateInstance(&clsid, &IConfigurableComponent::kIid, component.PutVoid()));
        ThrowIfFailed(component->Configure(QxNodePtr::Parse(config).Get()));
        if (name) ThrowIfFailed(SkRegisterNamedInstance(name, component.Get()));
        return component;
    }
    QxNodePtr Process(const QxNodePtr& request)
    {
        IQxNode* raw = nullptr;
        ThrowIfFailed(m_gate->ProcessRequest(request.Get(), &raw));
        return QxNodePtr(raw, QxNodePtr::Attach{});
    }

    host::HostServices m_services;
    ComPtr<CComponentObject<host::CQueriesProcessorStandIn>> m_queries;
    ComPtr<CComponentObject<ReachableDatabase>> m_database;
    ComPtr<IConfigurableComponent> m_provider;
    ComPtr<IConfigurableComponent> m_factory;
    ComPtr<IConfigurableComponent> m_gateComponent;
    ComPtr<IRequestProcessor> m_gate;
};

void RunRetrieve(benchmark::State& state, const char* maxSeverity)
{
    if (maxSeverity)
        setenv("GS_Logger_MaxSeverity", maxSeverity, 1);
    else
        unsetenv("GS_Logger_MaxSeverity");
    log::Logger::Instance().Invalidate();
    Host host;
    const QxNodePtr request = QxNodePtr::Parse(Request());
    double totalMs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!host.Retrieve(request)) {
            state.SkipWithError("the retrieve request did not end with status 1");
            break;
        }
        totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    const double perRequestMs = state.iterations() ? totalMs / static_cast<double>(state.iterations()) : 0;
    state.counters["request_ms"] = perRequestMs;
    state.counters["per_sub_request_beyond_waits_ms"] = (perRequestMs - kWaitIntervalMs) / kSubRequests;
    state.counters["unreleased_handles"] = static_cast<double>(host.Unreleased());
    unsetenv("GS_Logger_MaxSeverity");
    log::Logger::Instance().Invalidate();
}

void BM_Retrieve7_DefaultSeverity(benchmark::State& state) { RunRetrieve(state, nullptr); }
void BM_Retrieve7_LoggingOff(benchmark::State& state) { RunRetrieve(state, "NONE"); }

BENCHMARK(BM_Retrieve7_DefaultSeverity)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Retrieve7_LoggingOff)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
