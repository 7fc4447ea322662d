// FilterHelper: the time range of a filter as conditions on the pseudo-column "When".
#include "common/ErrorHandling/HRX.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"


namespace FilterHelper {

using cvn::QxNodePtr;

QxNodePtr ConvertTimeRangeToWhenCondition(const QxNodePtr& timeRange)
{
    CV_TRACE_METHOD(Dbg);
    if (!timeRange) return nullptr;
    // A half-open range would silently count everything on one side.
    if (!timeRange.HasAttribute("TimeFrom") || !timeRange.HasAttribute("TimeTill"))
        CV_FAIL_LOGGED("FilterHelper::ConvertTimeRangeToWhenCondition", cvn::kHrInvalidData,
                       "Invalid timerange filter");
    QxNodePtr condition = NewCondition("AND");
    AddWhenCondition(condition, timeRange, "TimeFrom", ">=");
    AddWhenCondition(condition, timeRange, "TimeTill", "<");
    return condition;
}

void AddWhenCondition(const QxNodePtr& target, const QxNodePtr& timeRange, std::string_view attribute,
                      std::string_view comparator)
{
    CV_TRACE_METHOD(Dbg3);
    std::string bound;
    if (!timeRange.GetAttribute(attribute, bound)) return;
    const QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
    leaf.SetAttribute("Columnn", "When");
    leaf.SetAttribute("Value", bound);
    leaf.SetAttribute("Comparator", comparator);
    target.AddChild(leaf);
}

}  // namespace FilterHelper
