// Helpers for the filter processor tests: a metrics configuration whose groups are kept per
// monitoring plan (as the counters are), a fake configuration server in place for a test,
// and waiting for a condition with a timeout.
// Thread safety: test-thread only, except that WaitUntil polls what other threads change.
#pragma once

#include <chrono>
#include <string_view>
#include <thread>

#include "ServiceLayer/NamedServices.h"
#include "module/Common/SubsystemHelpers/FakeConfigServer.h"
#include "module/OverviewReportsProcessing/Common/FilterTestSupport.h"

namespace corvane::test {

/// Groups {ManagedObjectUId, Who, Where} (0xD: G1, G2, G3) and {ManagedObjectUId, Who, Where, What}
/// (0x4D: G1..G4); presets "DefaultPreset" (1) and "Failed" (2).
inline constexpr std::string_view kPlanMetricsConfiguration = R"(
<OverviewMetricsConfiguration GroupColumns:strs="G1|G2|G3|G4" IdColumnName="Id" MaskColumnName="GroupMask"
    ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts">
  <node q:name="ConditionPresets">
    <Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/>
    <Condition q:name="Failed" operator="AND" PresetConditionId:i64="2">
      <ConditionValues Columnn="Status" Comparator="=" Value="Failed"/>
    </Condition>
  </node>
  <Group GroupAttributes:strs="ManagedObjectUId|Who|Where"/>
  <Group GroupAttributes:strs="ManagedObjectUId|What|Who|Where" PresetConditionName="Failed"/>
</OverviewMetricsConfiguration>)";

inline constexpr char kPlansPath[] = R"(\Configuration\MonitoringPlans)";

/// The retriever factory configuration the host ships: the fast method reads the pre-aggregated
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

/// Plans p1 "Alpha" and p2 "Beta", as the configuration server delivers the list.
inline constexpr char kPlanP1[] = "{00000001-0000-0000-0000-000000000000}";
inline constexpr char kPlanP2[] = "{00000002-0000-0000-0000-000000000000}";
inline constexpr char kPlanP3[] = "{00000003-0000-0000-0000-000000000000}";
inline constexpr std::string_view kTwoNamedPlans = R"(
<MonitoringPlans>
  <Plan q:name="{00000001-0000-0000-0000-000000000000}" Name="Alpha"/>
  <Plan q:name="{00000002-0000-0000-0000-000000000000}" Name="Beta"/>
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

/// Polls until the predicate holds; false after the timeout.
template <class Predicate>
bool WaitUntil(Predicate&& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace corvane::test
