// MaskProcessor: the group mask condition.
#include "module/OverviewReportsProcessing/FiltersProcessors/MaskProcessor.h"

#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

MaskProcessor::MaskProcessor(const QxNodePtr& /*configuration*/) {}

void MaskProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    ColumnsMask full = MaskHelper::Instance().GetFullMask(FilterHelper::MakeTotalFiltersMask(filters));
    // Every counters row is kept per monitoring plan.
    full |= EColumnsMasks::ManagedObjectUId;
    const QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
    leaf.SetAttribute("Columnn", "Mask");
    leaf.SetAttribute("Value", full.Value());
    leaf.SetAttribute("Comparator", "=");
    FilterHelper::AddNewCondition(leaf, filters);
}

}  // namespace OverviewReportsProcessing
