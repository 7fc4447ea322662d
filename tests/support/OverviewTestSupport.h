// Helpers of the overview reports tests: the canonical dump of a tree, the metrics and
// factory configurations, a fake configuration server, a tag processor, response readers,
// and the two fixtures (retrieval over the scripted queries processor, the gate over the
// scripted components of GateTestScripts.h) with the leak checks they end with.
// Thread safety: test-thread only, except the scripted components (any thread).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "common/Components/ModuleObject.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/ServiceLayer/NamedServices.h"
#include "host/services/HostServices.h"
#include "module/OverviewReportsProcessing/ClassTable.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelperTestHooks.h"
#include "module/OverviewReportsProcessing/Corvane/CorvaneGate.h"
#include "module/OverviewReportsProcessing/Corvane/RetrieveCountersContext.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactory.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactoryTestHooks.h"
#include "tests/support/FakeConfigServer.h"
#include "tests/support/GateTestScripts.h"
#include "tests/support/QueriesProcessorStandIn.h"
#include "tests/support/ServiceTestSupport.h"
#include "tests/support/TestBasics.h"

namespace cvn::test {

/// One line per node: indentation, type, name, attributes sorted by name with their stored type.
inline std::string Canonical(const QxNodePtr& node, size_t depth = 0)
{
    std::string out(depth * 2, ' ');
    out += node.GetType() + " \"" + node.GetName() + "\"";
    std::vector<std::string> names = node.GetAttributeNames();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        uint32_t stored = 0;
        node.HasAttribute(name, &stored);
        std::string value;
        node.GetAttribute(name, value);
        char type[16];
        std::snprintf(type, sizeof type, "%X", stored);
        out += " " + name + ":" + type + "=" + value;
    }
    out += "\n";
    for (const QxNodePtr& child : node.GetChildren()) out += Canonical(child, depth + 1);
    return out;
}

/// Renames every node named by a braced GUID to "{GUID}" and returns the names it replaced, in order.
inline std::vector<std::string> MaskGuidNames(const QxNodePtr& node)
{
    static const std::regex braced(R"(\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\})");
    std::vector<std::string> found;
    if (const std::string name = node.GetName(); std::regex_match(name, braced)) {
        found.push_back(name);
        node.SetName("{GUID}");
    }
    for (const QxNodePtr& child : node.GetChildren()) {
        const std::vector<std::string> inner = MaskGuidNames(child);
        found.insert(found.end(), inner.begin(), inner.end());
    }
    return found;
}

/// The result of a call that hands out a node through its last argument, and that node.
template <class Call>
std::pair<HRESULT, QxNodePtr> HandedOut(Call&& call)
{
    IQxNode* raw = nullptr;
    const HRESULT hr = call(&raw);
    return {hr, QxNodePtr(raw, QxNodePtr::Attach{})};
}

/// A metrics configuration over the table columns groupColumns (ids, mask, preset, count, time fixed).
inline std::string MetricsConfiguration(std::string_view groupColumns, std::string_view children)
{
    return "<OverviewMetricsConfiguration GroupColumns:strs=\"" + std::string(groupColumns) +
           "\" IdColumnName=\"Id\" MaskColumnName=\"GroupMask\" ConditionIdColumnName=\"PresetId\" "
           "CountColumnName=\"Cnt\" TimestampColumnName=\"Ts\">" +
           std::string(children) + "</OverviewMetricsConfiguration>";
}

/// Presets "DefaultPreset" (1) and "Failed" (2).
inline constexpr std::string_view kPresets = R"(<node q:name="ConditionPresets">
    <Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/>
    <Condition q:name="Failed" operator="AND" PresetConditionId:i64="2">
      <ConditionValues Columnn="Status" Comparator="=" Value="Failed"/>
    </Condition>
  </node>)";

/// Groups {Who, Where} (0xC) and {Who, Where, What} (0x4C, preset "Failed").
inline const std::string kMetricsConfiguration = MetricsConfiguration(
    "G1|G2|G3", std::string(kPresets) + R"(<Group GroupAttributes:strs="Who|Where"/>
    <Group GroupAttributes:strs="What|Who|Where" PresetConditionName="Failed"/>)");

/// The groups kept per monitoring plan, as the counters are: {ManagedObjectUId, Who, Where}
/// (0xD: G1, G2, G3) and {ManagedObjectUId, Who, Where, What} (0x4D: G1..G4, preset "Failed").
inline const std::string kPlanMetricsConfiguration = MetricsConfiguration(
    "G1|G2|G3|G4", std::string(kPresets) + R"(<Group GroupAttributes:strs="ManagedObjectUId|Who|Where"/>
    <Group GroupAttributes:strs="ManagedObjectUId|What|Who|Where" PresetConditionName="Failed"/>)");

/// Installs a metrics configuration (text form) as the process-wide one for the scope.
class ScopedMetricsConfiguration {
public:
    explicit ScopedMetricsConfiguration(std::string_view configuration)
    {
        OverviewReportsProcessing::InstallMaskHelperForTests(
            std::make_unique<OverviewReportsProcessing::MaskHelper>(Tree(configuration)));
    }
    ~ScopedMetricsConfiguration() { OverviewReportsProcessing::ResetMaskHelperForTests(); }
    ScopedMetricsConfiguration(const ScopedMetricsConfiguration&) = delete;
    ScopedMetricsConfiguration& operator=(const ScopedMetricsConfiguration&) = delete;
};

/// Appends its configured "Tag" ("-" without configuration) to the filter's "Trail"; records its Shutdown.
class TagProcessor : public OverviewReportsProcessing::IFiltersProcessor {
public:
    explicit TagProcessor(const QxNodePtr& configuration)
        : m_tag(configuration ? configuration.GetRequiredAttribute<std::string>("Tag") : "-")
    {
    }
    void ProcessFilters(const QxNodePtr& filters) override
    {
        filters.SetAttribute("Trail", filters.GetAttributeOr("Trail", "") + m_tag);
    }
    void Shutdown() override { shutdowns.push_back(m_tag); }

    static inline std::vector<std::string> shutdowns;  ///< the tags, in order; test thread only

private:
    std::string m_tag;
};

/// "TagProcessor" in the processor table for the scope.
struct ScopedTagProcessor {
    ScopedTagProcessor()
    {
        TagProcessor::shutdowns.clear();
        OverviewReportsProcessing::RegisterProcessorForTests(
            "TagProcessor", OverviewReportsProcessing::BuildActivator<TagProcessor>());
    }
    ~ScopedTagProcessor() { OverviewReportsProcessing::UnregisterProcessorForTests("TagProcessor"); }
};

inline constexpr char kPlansPath[] = R"(\Configuration\MonitoringPlans)";

/// The retriever factory configuration of these tests: the fast method reads the pre-aggregated
/// counters (preset, mask, When, live plans, sorting, alias, template), the standard method the
/// audited records (When, live plans, plan names, sorting, template).
inline constexpr std::string_view kFactoryConfiguration = R"(
<DataRetrieverFactory MetaInfoProviderInstanceName="Test.MetaInfoProvider">
  <node q:name="Retriever" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
  <node q:name="DefaultProcessorsConfig">
    <node q:name="LiveMonitoringPlansProcessor" MonitoringPlansCfgPath="\Configuration\MonitoringPlans"/>
    <node q:name="MonitoringPlanNameProcessor" MonitoringPlansCfgPath="\Configuration\MonitoringPlans"/>
    <node q:name="SortingProcessor">
      <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot>
    </node>
  </node>
  <node q:name="RetrieveMethods">
    <Method q:name="Fast" RetrieveMethod:i32="1"
        Processors:strs="PresetConditionProcessor|MaskProcessor|WhenProcessor|LiveMonitoringPlansProcessor|SortingProcessor|AliasProcessor|QueryTemplateProcessor">
      <node q:name="AliasProcessor">
        <Alias ColumnName="When" ColumnAlias="c.Ts"/>
        <Alias ColumnName="Mask" ColumnAlias="c.GroupMask"/>
        <Alias ColumnName="ConditionId" ColumnAlias="c.PresetId"/>
        <Alias ColumnName="Count" ColumnAlias="c.Cnt"/>
        <Alias ColumnName="G1" ColumnAlias="c.G1"/>
        <Alias ColumnName="G2" ColumnAlias="c.G2"/>
        <Alias ColumnName="G3" ColumnAlias="c.G3"/>
        <Alias ColumnName="G4" ColumnAlias="c.G4"/>
      </node>
      <node q:name="QueryTemplateProcessor" QueryTemplateName="OverviewCountersFast"/>
    </Method>
    <Method q:name="Standard" RetrieveMethod:i32="2"
        Processors:strs="WhenProcessor|LiveMonitoringPlansProcessor|MonitoringPlanNameProcessor|SortingProcessor|QueryTemplateProcessor">
      <node q:name="QueryTemplateProcessor" QueryTemplateName="OverviewCountersStandard"/>
    </Method>
  </node>
</DataRetrieverFactory>)";

/// Plans {00000001-...} "Alpha" and {00000002-...} "Beta", as the configuration server delivers the list.
inline constexpr std::string_view kTwoNamedPlans = R"(
<MonitoringPlans>
  <Plan q:name="{00000001-0000-0000-0000-000000000000}" Name="Alpha"/>
  <Plan q:name="00000002000000000000000000000000" Name="Beta"/>
</MonitoringPlans>)";

/// A fake "ConfigServer.Proxy" for the scope.
struct ScopedConfigServer {
    ComPtr<CComponentObject<FakeConfigServer>> server = CreateComponent<FakeConfigServer>();
    ScopedNamedInstance registration{kConfigServerProxyName, server.Get()};

    /// Sends the plans list (text form) as a modification of the followed path.
    HRESULT SendPlans(std::string_view plans, bool synchronous = true)
    {
        return server->Notify(synchronous, {Notification(kPlansPath, 8, std::string(plans))});
    }
};

// Reading responses: attributes of a node that may be missing, sub-responses by name.
inline int32_t Int(const QxNodePtr& node, std::string_view name, int32_t absent = -1)
{
    return node ? node.GetAttributeOr<int32_t>(name, absent) : absent;
}
inline int32_t Status(const QxNodePtr& response) { return Int(response, "RetrieveStatus"); }
inline HRESULT Code(const QxNodePtr& response) { return Int(response, "ResultCode"); }
inline std::string Text(const QxNodePtr& node, std::string_view name)
{
    return node ? node.GetAttributeOr(name, "") : std::string();
}
inline GUID TokenOf(const QxNodePtr& response)
{
    const QxNodePtr cookie = response ? response.GetChild("RetrieveCookie", false) : QxNodePtr();
    return cookie ? cookie.GetAttributeOr<GUID>("Token", GUID{}) : GUID{};
}
/// The status of one sub-response, -1 when it is missing.
inline int32_t SubStatus(const QxNodePtr& response, std::string_view name)
{
    const QxNodePtr sub = response.GetChild(name, false);
    return sub && sub.GetType() == "RetrieveCountersSubResponse" ? Int(sub, "RetrieveStatus") : -1;
}
/// The "Count" of one sub-response's result, -1 when it has none.
inline int64_t SubCount(const QxNodePtr& response, std::string_view name)
{
    const QxNodePtr sub = response.GetChild(name, false);
    const QxNodePtr counters = sub ? sub.GetChild("Counters", false) : QxNodePtr();
    return counters ? counters.GetAttributeOr<int64_t>("Count", -1) : -1;
}
/// A request of the given type naming the token's cookie, with extra attributes.
inline std::string CookieRequest(std::string_view type, const GUID& token, std::string_view extra = {})
{
    return "<" + std::string(type) + " q:name=\"Poll\" " + std::string(extra) +
           "><node q:name=\"RetrieveCookie\" Token:guid=\"" + cvn::GuidToText(token) +
           "\"/></" + std::string(type) + ">";
}

/// A retriever configuration polling every millisecond.
inline constexpr std::string_view kRetrieverConfig =
    R"(<node q:name="Retriever" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)";

/// The meta info provider's configuration: 24 hours back by default, the fast method switched by
/// "FastEnabled" under "\Settings\OverviewSettings", stale records of product 7 ignored.
inline constexpr std::string_view kProviderConfiguration = R"(
<node q:name="MetaInfoProvider" DefaultTimeRangeInHour:i32="24" OverviewSettingsCfgPath="\Settings\OverviewSettings"
      EnableSettingsAttrName="FastEnabled">
  <node q:name="StaleRecordsExistenceChecker" DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60"
        SupressedProductIds:i32s="7" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
</node>)";

/// Host services in memory and the scripted queries processor under "Service.QueriesProcessor";
/// requests go to m_processor once a test sets it. Every test ends with all handles freed and all
/// components released.
class RetrievalTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_startLocks = ModuleObject::Instance().LockCount();
        m_host.Start({});
        queries = CreateComponent<host::CQueriesProcessorStandIn>();
        m_host.ServiceClient()->RegisterService("Service.QueriesProcessor", queries.Get());
    }
    void TearDown() override
    {
        m_processor.Reset();
        EXPECT_TRUE(queries->UnreleasedHandles().empty()) << "a handle was not released";
        m_host.Stop();
        queries.Reset();
        EXPECT_EQ(ModuleObject::Instance().LockCount(), m_startLocks) << "a component leaked";
    }

    /// The response to a request in text form; fails the test when ProcessRequest does not answer S_OK.
    QxNodePtr Process(std::string_view text)
    {
        auto [hr, response] = HandedOut([&](IQxNode** out) { return m_processor->ProcessRequest(Tree(text).Get(), out); });
        EXPECT_EQ(hr, S_OK);
        return response;
    }
    /// A poll of the token, with extra attributes such as "PartialResult".
    QxNodePtr Poll(const GUID& token, std::string_view extra = {})
    {
        return Process(CookieRequest("RetrieveCountersRequest", token, extra));
    }
    std::future<QxNodePtr> PollAsync(const GUID& token, std::string extra = {})
    {
        return std::async(std::launch::async, [this, token, extra] { return Poll(token, extra); });
    }
    /// The "ResultCode" of freeing the token.
    HRESULT FreeCookieCode(const GUID& token) { return Code(Process(CookieRequest("FreeCookieRequest", token))); }

    host::HostServices m_host;
    ComPtr<CComponentObject<host::CQueriesProcessorStandIn>> queries;
    ComPtr<IRequestProcessor> m_processor;

private:
    ULONG m_startLocks = 0;
};

inline constexpr std::string_view kReportingSettingsPath = "\\Settings\\ReportingSettings";

/// The gate's configuration: TTL 1 s, the collector's own period far away, polls waiting 10 ms per step.
inline constexpr std::string_view kGateConfiguration = R"(
<node q:name="CorvaneGate" MetaInfoProviderNameInstance="Test.MetaInfoProvider"
      ReportingSettingsCfgPath="\Settings\ReportingSettings" SqlConnectionCacheInSec:i32="30"
      TtlRequest:i64="1" GarbageCollectorRoutineInterval:i64="3600">
  <node q:name="DataSourceMapping">
    <DataSource DataSource:guid="{11111111-2222-3333-4444-555555555555}" ProductIds:strs="101|102"/>
  </node>
  <node q:name="RetrieveCounters" WaitDataInterval:i64="10" DispatcherFactoryNameInstance="Test.RetrieverFactory"
        MetaInfoProviderInstanceName="Test.MetaInfoProvider"/>
</node>)";

/// Host services in memory, the scripted components registered by name and a gate made through
/// the module's class table; every test ends with no context, retriever or component left.
class GateTest : public RetrievalTest {
protected:
    void SetUp() override
    {
        m_startContexts = Corvane::CRetrieveCountersContext::LiveCount();
        RetrievalTest::SetUp();
        WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath,
                        Tree(R"(<node Enabled:bool="true" Server="db1"/>)"));
        m_databaseGate = CreateComponent<ScriptedDatabaseGate>();
        m_metaInfo = CreateComponent<ScriptedMetaInfoProvider>();
        m_factory = CreateComponent<ScriptedRetrieverFactory>(script);
        m_host.ServiceClient()->RegisterService("Service.DatabaseManagementGate", m_databaseGate.Get());
        m_metaInfoName.emplace("Test.MetaInfoProvider", m_metaInfo.Get());
        m_factoryName.emplace("Test.RetrieverFactory", m_factory.Get());
    }
    void TearDown() override
    {
        EXPECT_TRUE(!m_gate || m_gate->Shutdown() == S_OK);
        m_gate.Reset();
        m_processor.Reset();
        m_factoryName.reset();
        m_metaInfoName.reset();
        m_factory.Reset();
        m_metaInfo.Reset();
        m_databaseGate.Reset();
        RetrievalTest::TearDown();
        EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), m_startContexts) << "a context leaked";
        EXPECT_EQ(script->liveRetrievers.load(), 0) << "a retriever was not released";
    }

    /// Creates the gate through the class table and configures it; the configure result.
    HRESULT MakeGate(std::string_view configuration = kGateConfiguration)
    {
        EXPECT_EQ(ModuleObject::Instance().CreateInstance(&Corvane::CLSID_CorvaneGate, &IRequestProcessor::kIid,
                                                          m_processor.PutVoid()),
                  S_OK);
        EXPECT_EQ(m_processor.As(m_gate), S_OK);
        return Reconfigure(configuration);
    }
    HRESULT Reconfigure(std::string_view configuration = kGateConfiguration)
    {
        ComPtr<IConfigurableComponent> configurable;
        EXPECT_EQ(m_processor.As(configurable), S_OK);
        return configurable->Configure(Tree(configuration).Get());
    }
    Corvane::CCorvaneGate& Gate() { return *static_cast<Corvane::CCorvaneGate*>(m_processor.Get()); }

    std::shared_ptr<RetrievalScript> script = std::make_shared<RetrievalScript>();
    ComPtr<CComponentObject<ScriptedDatabaseGate>> m_databaseGate;
    ComPtr<CComponentObject<ScriptedMetaInfoProvider>> m_metaInfo;
    ComPtr<CComponentObject<ScriptedRetrieverFactory>> m_factory;
    std::optional<ScopedNamedInstance> m_metaInfoName;
    std::optional<ScopedNamedInstance> m_factoryName;
    ComPtr<IComponentWithShutdown> m_gate;

private:
    size_t m_startContexts = 0;
};

/// Three sub-requests, no time range of its own.
inline constexpr std::string_view kThreeSubRequests = R"(
<RetrieveCountersRequest q:name="Dashboard" TimeZoneOffsetSec:i32="3600" Scope="all">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND"><ConditionValues Columnn="Who" Value="alice"/></Condition>
  </ConditionsRoot>
  <RetrieveCountersSubRequest q:name="A"/>
  <RetrieveCountersSubRequest q:name="B" Scope="mine"/>
  <RetrieveCountersSubRequest q:name="C"/>
</RetrieveCountersRequest>)";

}  // namespace cvn::test
