// LiveMonitoringPlansProcessor: the live plans condition.
#include "module/OverviewReportsProcessing/FiltersProcessors/LiveMonitoringPlansProcessor.h"

#include <vector>

#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanId.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

namespace {
constexpr uint32_t kChangesMask = 24;
}

LiveMonitoringPlansProcessor::LiveMonitoringPlansProcessor(const QxNodePtr& configuration,
                                                           std::chrono::milliseconds interval)
    : m_subscription(configuration,
                     "OverviewReportsProcessing::LiveMonitoringPlansProcessor::LiveMonitoringPlansProcessor",
                     kChangesMask, interval)
{
}

void LiveMonitoringPlansProcessor::InitSubscriber()
{
    CV_TRACE_METHOD(Dbg3);
    m_subscription.EnsureStarted([weak = weak_from_this()](const std::string& path, const QxNodePtr& plans) {
        if (const auto self = weak.lock()) self->OnPlansChanged(path, plans);
    });
}

void LiveMonitoringPlansProcessor::OnPlansChanged(const std::string& path, const QxNodePtr& plans)
{
    CV_TRACE_METHOD(Dbg3);
    if (!m_subscription.IsWholeList(path)) {
        // One plan's node, not the list: refilling from it would drop every other plan.
        CV_LOG(Warn, "Monitoring plans change below the list ignored: " << path);
        return;
    }
    // Built aside, so a bad entry leaves the previous set whole rather than half refilled.
    std::set<GUID> live{kAlwaysLivePlan};
    if (plans) {
        for (const QxNodePtr& plan : plans.GetChildren()) live.insert(ParseMonitoringPlanId(plan.GetName()));
    }
    std::lock_guard guard(m_lock);
    m_livePlans.swap(live);
}

void LiveMonitoringPlansProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    InitSubscriber();
    std::vector<GUID> ids;
    {
        std::lock_guard guard(m_lock);
        ids.assign(m_livePlans.begin(), m_livePlans.end());
    }
    if (ids.empty()) return;
    const QxNodePtr condition = FilterHelper::NewCondition("IN");
    const QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
    leaf.SetAttribute("Columnn", "ManagedObjectUId");
    leaf.SetAttribute("Values", ids);
    condition.AddChild(leaf);
    CV_LOG(Dbg, "New live mp filter: " << condition);
    FilterHelper::AddNewCondition(condition, filters);
}

void LiveMonitoringPlansProcessor::Shutdown()
{
    CV_TRACE_METHOD(Dbg);
    m_subscription.Shutdown();
}

}  // namespace OverviewReportsProcessing
