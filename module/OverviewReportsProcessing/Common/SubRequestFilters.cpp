// FilterHelper::MakeSubRequestFilters: one sub-request's query built from a copy of the request.
#include <vector>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/Common/GuidText.h"

namespace FilterHelper {

using cvn::QxNodePtr;

namespace {

struct Section {
    std::string_view name;
    std::string_view rootType;
    std::string_view mergeType;
    bool andWrapped;
};

constexpr Section kSections[] = {
    {"Conditions", "ConditionsRoot", "ConditionsMerge", true},
    {"SortingRoot", "SortingRoot", "SortingMerge", false},
    {"GroupByRoot", "GroupByRoot", "GroupByMerge", false},
};

QxNodePtr FirstChildOfType(const QxNodePtr& node, std::string_view type)
{
    for (const QxNodePtr& child : node.GetChildren()) {
        if (child.GetType() == type) return child;
    }
    return nullptr;
}

std::vector<QxNodePtr> ChildrenOfFirst(const QxNodePtr& node, std::string_view type)
{
    const QxNodePtr section = FirstChildOfType(node, type);
    return section ? section.GetChildren() : std::vector<QxNodePtr>{};
}

// A sub-request's own non-empty section wins; otherwise its merge entries go ahead of the request's.
void MergeSection(const Section& section, const QxNodePtr& total, const QxNodePtr& sub, const QxNodePtr& result)
{
    std::vector<QxNodePtr> list = ChildrenOfFirst(sub, section.rootType);
    if (list.empty()) {
        list = ChildrenOfFirst(sub, section.mergeType);
        std::vector<QxNodePtr> own = ChildrenOfFirst(total, section.rootType);
        list.insert(list.end(), own.begin(), own.end());
    }
    if (list.empty()) return;

    const QxNodePtr root = QxNodePtr::Create(section.name, section.rootType);
    result.AddChild(root);
    QxNodePtr target = root;
    if (section.andWrapped) {
        target = NewCondition("AND");
        root.AddChild(target);
    }
    for (const QxNodePtr& node : list) {
        const QxNodePtr copy = node.Clone();
        // Nodes from the request and from the merge may share names; fresh names keep siblings apart.
        copy.SetName(OverviewReportsProcessing::NewGuidText());
        target.AddChild(copy);
    }
}

}  // namespace

QxNodePtr MakeSubRequestFilters(const QxNodePtr& request, std::string_view subName)
{
    const QxNodePtr total = request.Clone();
    const QxNodePtr sub = total.GetChild(subName, false);
    if (!sub)
        cvn::ThrowHrWithDescription(cvn::kHrNotFound, "Sub-request not found: " + std::string(subName));

    if (const QxNodePtr replacements = sub.GetChild("Replacement", false)) {
        for (const QxNodePtr& replacement : replacements.GetChildren()) Replace(replacement, total);
    }

    const QxNodePtr result = QxNodePtr::Create(subName, "Query");
    for (const Section& section : kSections) MergeSection(section, total, sub, result);
    if (const QxNodePtr timeRange = total.GetChild("TimeRange", false)) result.AddChild(timeRange.Clone());
    CopyAttributes(total, result);
    CopyAttributes(sub, result);

    CV_LOG(Dbg3, "Result node" << result);
    return result;
}

}  // namespace FilterHelper
