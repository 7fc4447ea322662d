// PresetConditionProcessor: the preset condition id.
#include "module/OverviewReportsProcessing/FiltersProcessors/PresetConditionProcessor.h"

#include <cstdint>
#include <string>

#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

PresetConditionProcessor::PresetConditionProcessor(const QxNodePtr& /*configuration*/) {}

void PresetConditionProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    std::string name = filters.GetAttributeOr("PresetConditionName", "");
    if (name.empty()) name = "DefaultPreset";
    const QxNodePtr preset = MaskHelper::Instance().GetPresetCondition(name);
    const int64_t id = preset.GetRequiredAttribute<int64_t>("PresetConditionId");
    const QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
    leaf.SetAttribute("Columnn", "ConditionId");
    leaf.SetAttribute("Value", id);
    leaf.SetAttribute("Comparator", "=");
    FilterHelper::AddNewCondition(leaf, filters);
}

}  // namespace OverviewReportsProcessing
