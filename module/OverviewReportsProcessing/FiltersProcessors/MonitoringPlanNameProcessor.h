// MonitoringPlanNameProcessor: rewrites conditions naming monitoring plans by id on
// "ManagedObjectUId" into conditions on their names on "ManagedObject"; ids without a known
// name stay on the id column. Names are followed through a subscription to the plans list
// that starts with the first filter.
// Thread safety: filters run on any number of threads while notifications replace the name
// map on the subscriber's thread; the map is read and replaced only under m_lock.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "corvane/Platform.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlansSubscription.h"

namespace OverviewReportsProcessing {

class MonitoringPlanNameProcessor : public IFiltersProcessor,
                                    public std::enable_shared_from_this<MonitoringPlanNameProcessor> {
public:
    /// Reads "MonitoringPlansCfgPath"; HRX 0x80070490 (logged) when the node is null or lacks it.
    /// The interval is the subscription's publication interval. Must be owned by a shared pointer.
    explicit MonitoringPlanNameProcessor(const cvn::QxNodePtr& configuration,
                                         std::chrono::milliseconds interval = std::chrono::seconds(1));

    /// Subscribes on first use (HRX when that fails; the next filter tries again), then rewrites every
    /// condition leaf on "ManagedObjectUId"; unchanged before the first notification. HRX from the read
    /// of a "Value" or "Values" that holds no GUIDs; leaves rewritten before it stay rewritten. HRX
    /// 0x8007000D, with the filter unchanged, for a filter nested deeper than FilterHelper::kMaxTreeDepth.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;
    /// Ends the subscription; no notification is applied afterwards. Never throws.
    void Shutdown() override;

private:
    void InitSubscriber();
    void OnPlansChanged(const std::string& path, const cvn::QxNodePtr& plans);
    std::optional<std::string> GetMpName(const GUID& id);
    void ReplaceGuids(const cvn::QxNodePtr& leaf);
    void ReplaceGuidValue(const cvn::QxNodePtr& leaf);
    void ReplaceGuidsValues(const cvn::QxNodePtr& leaf);

    std::mutex m_lock;
    std::map<GUID, std::string> m_names;
    // Last, so it is stopped before the map goes away.
    MonitoringPlansSubscription m_subscription;
};

}  // namespace OverviewReportsProcessing
