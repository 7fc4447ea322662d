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
