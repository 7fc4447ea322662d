// LiveMonitoringPlansProcessor: restricts every filter to the monitoring plans that exist
// now, followed through a subscription to the plans list that starts with the first filter.
// Thread safety: filters run on any number of threads while notifications replace the live
// set on the subscriber's thread; the set is read and replaced only under m_lock.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "corvane/Platform.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlansSubscription.h"

namespace OverviewReportsProcessing {

class LiveMonitoringPlansProcessor : public IFiltersProcessor,
                                     public std::enable_shared_from_this<LiveMonitoringPlansProcessor> {
public:
    /// The id every filled live set holds besides the configured plans.
    static constexpr GUID kAlwaysLivePlan = cvn::MakeGuid(0x17D9ED53, 0x091A, 0x4A87, 0x835F, 0x5A486882436F);

    /// Reads "MonitoringPlansCfgPath"; HRX 0x80070490 (logged) when the node is null or lacks it.
    /// The interval is the subscription's publication interval. Must be owned by a shared pointer.
    explicit LiveMonitoringPlansProcessor(const cvn::QxNodePtr& configuration,
                                          std::chrono::milliseconds interval = std::chrono::seconds(1));

    /// Subscribes on first use (HRX when that fails; the next filter tries again), then adds
    /// ManagedObjectUId IN (live plans) as the first AND term; unchanged before the first notification.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;
    /// Ends the subscription; no notification is applied afterwards. Never throws.
    void Shutdown() override;

private:
    void InitSubscriber();
    void OnPlansChanged(const std::string& path, const cvn::QxNodePtr& plans);

    std::mutex m_lock;
    std::set<GUID> m_livePlans;
    // Last, so it is stopped before the set goes away.
    MonitoringPlansSubscription m_subscription;
};

}  // namespace OverviewReportsProcessing
