// MonitoringPlanNameProcessor: plan ids to plan names in conditions.
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanNameProcessor.h"

#include <functional>
#include <set>
#include <vector>

#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanId.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

namespace {

constexpr uint32_t kChangesMask = 31;

std::vector<QxNodePtr> CollectIdLeaves(const QxNodePtr& filters)
{
    std::vector<QxNodePtr> leaves;
    FilterHelper::WalkTree(filters, [&](const QxNodePtr& node) {
        if (const auto attribute = FilterHelper::GetColumnAttrName(node)) {
            std::string column;
            if (node.GetAttribute(*attribute, column) && column == "ManagedObjectUId") leaves.push_back(node);
        }
        return true;
    });
    return leaves;
}

std::string ListOperator(const QxNodePtr& parent)
{
    if (!parent || parent.GetType() != "Condition") return {};
    return parent.GetAttributeOr("operator", "");
}

// The leaf (or its list condition) already names the resolved plans; the ids left over go
// into a second list condition beside it.
void ReplaceWithOrCondition(const QxNodePtr& leaf, const std::vector<GUID>& ids)
{
    CV_TRACE(Dbg, "OverviewReportsProcessing::`anonymous-namespace'::ReplaceWithOrCondition");
    const QxNodePtr parent = leaf.GetParent();
    const std::string listOperator = ListOperator(parent);
    // NOT IN excludes both lists: NOT IN (names) AND NOT IN (ids); anything else includes either.
    const bool excluding = listOperator == "NOT IN";
    const QxNodePtr idList = FilterHelper::NewCondition(excluding ? "NOT IN" : "IN");
    const QxNodePtr idLeaf = QxNodePtr::Create({}, "ConditionValues");
    for (const char* name : {"AliasColumn", "AliasTable", "Comparator"}) {
        uint32_t stored = 0;
        if (!leaf.HasAttribute(name, &stored)) continue;
        std::string value;
        leaf.GetAttribute(name, value);
        idLeaf.SetAttribute(name, value);
    }
    idLeaf.SetAttribute("Columnn", "ManagedObjectUId");
    idLeaf.SetAttribute("Values", ids);
    idList.AddChild(idLeaf);

    const QxNodePtr joined = FilterHelper::NewCondition(excluding ? "AND" : "OR");
    joined.AddChild(listOperator == "IN" || excluding ? parent.Clone() : leaf.Clone());
    joined.AddChild(idList);
    FilterHelper::ReplaceConditionValue(leaf, joined);
}

}  // namespace

MonitoringPlanNameProcessor::MonitoringPlanNameProcessor(const QxNodePtr& configuration,
                                                         std::chrono::milliseconds interval)
    : m_subscription(configuration,
                     "OverviewReportsProcessing::MonitoringPlanNameProcessor::MonitoringPlanNameProcessor",
                     kChangesMask, interval)
{
}

void MonitoringPlanNameProcessor::InitSubscriber()
{
    CV_TRACE_METHOD(Dbg3);
    m_subscription.EnsureStarted([weak = weak_from_this()](const std::string& path, const QxNodePtr& plans) {
        if (const auto self = weak.lock()) self->OnPlansChanged(path, plans);
    });
}

void MonitoringPlanNameProcessor::OnPlansChanged(const std::string& path, const QxNodePtr& plans)
{
    CV_TRACE_METHOD(Dbg3);
    if (!m_subscription.IsWholeList(path)) {
        // One plan's node, not the list: refilling from it would drop every other plan.
        CV_LOG(Warn, "Monitoring plans change below the list ignored: " << path);
        return;
    }
    // Built aside, so a bad entry leaves the previous map whole rather than half refilled.
    std::map<GUID, std::string> names;
    if (plans) {
        for (const QxNodePtr& plan : plans.GetChildren()) {
            const GUID id = ParseMonitoringPlanId(plan.GetName());
            // A plan listed twice keeps the name it was first listed with.
            names.emplace(id, plan.GetRequiredAttribute<std::string>("Name"));
        }
    }
    std::lock_guard guard(m_lock);
    m_names.swap(names);
}

std::optional<std::string> MonitoringPlanNameProcessor::GetMpName(const GUID& id)
{
    CV_TRACE_METHOD(Dbg3);
    std::lock_guard guard(m_lock);
    const auto found = m_names.find(id);
    if (found == m_names.end()) return std::nullopt;
    return found->second;
}

void MonitoringPlanNameProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    InitSubscriber();
    {
        std::lock_guard guard(m_lock);
        if (m_names.empty()) return;
    }
    for (const QxNodePtr& leaf : CollectIdLeaves(filters)) ReplaceGuids(leaf);
}

void MonitoringPlanNameProcessor::ReplaceGuids(const QxNodePtr& leaf)
{
    CV_TRACE_METHOD(Dbg3);
    if (leaf.HasAttribute("Values"))
        ReplaceGuidsValues(leaf);
    else if (leaf.HasAttribute("Value"))
        ReplaceGuidValue(leaf);
}

void MonitoringPlanNameProcessor::ReplaceGuidValue(const QxNodePtr& leaf)
{
    CV_TRACE_METHOD(Dbg3);
    const GUID id = leaf.GetRequiredAttribute<GUID>("Value");
    const auto name = GetMpName(id);
    if (!name) return;
    CV_LOG(Dbg2, "replace GUID " << id << " to " << *name);
    leaf.SetAttribute("Columnn", "ManagedObject");
    leaf.SetAttribute("Value", *name);
}

void MonitoringPlanNameProcessor::ReplaceGuidsValues(const QxNodePtr& leaf)
{
    CV_TRACE_METHOD(Dbg3);
    const auto ids = leaf.GetRequiredAttribute<std::vector<GUID>>("Values");
    std::vector<std::string> names;
    std::set<GUID> unresolved;
    for (const GUID& id : ids) {
        if (auto name = GetMpName(id))
            names.push_back(std::move(*name));
        else
            unresolved.insert(id);
    }
    if (names.empty()) return;
    leaf.SetAttribute("Columnn", "ManagedObject");
    leaf.SetAttribute("Values", names);
    if (!unresolved.empty()) ReplaceWithOrCondition(leaf, std::vector<GUID>(unresolved.begin(), unresolved.end()));
}

void MonitoringPlanNameProcessor::Shutdown()
{
    CV_TRACE_METHOD(Dbg);
    m_subscription.Shutdown();
}

}  // namespace OverviewReportsProcessing
