// FilterHelper: preset condition references and their expansion.
#include <string>
#include <vector>

#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

namespace FilterHelper {

using cvn::QxNodePtr;

std::vector<QxNodePtr> GetPresetConditions(const QxNodePtr& node)
{
    std::vector<QxNodePtr> leaves;
    TraverseCondition(node, [&](const QxNodePtr& leaf) {
        const auto column = GetColumnName(leaf);
        if (column && *column == "ConditionId") leaves.push_back(leaf);
    });
    return leaves;
}

void ExpandPresetConditions(const QxNodePtr& request)
{
    struct Expansion {
        QxNodePtr leaf;
        std::string name;
        QxNodePtr preset;
    };
    // Everything that can fail is looked up before the first change, so a bad reference leaves the request whole.
    std::vector<Expansion> expansions;
    for (QxNodePtr& leaf : GetPresetConditions(request)) {
        std::string name = leaf.GetRequiredAttribute<std::string>("Value");
        QxNodePtr preset = OverviewReportsProcessing::MaskHelper::Instance().GetPresetCondition(name);
        expansions.push_back({std::move(leaf), std::move(name), std::move(preset)});
    }

    for (const Expansion& expansion : expansions) {
        const QxNodePtr parent = expansion.leaf.GetParent();
        parent.RemoveChild(expansion.leaf);
        parent.AddChild(expansion.preset.Clone());
        for (QxNodePtr node = parent; node; node = node.GetParent()) {
            const std::string type = node.GetType();
            if (type == "RetrieveCountersRequest" || type == "RetrieveCountersSubRequest") {
                node.SetAttribute("PresetConditionName", expansion.name);
                break;
            }
        }
    }
}

}  // namespace FilterHelper
