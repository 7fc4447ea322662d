// WhenProcessor: time range to When conditions, time zone offset to the query's form.
#include "module/OverviewReportsProcessing/FiltersProcessors/WhenProcessor.h"

#include <cstdint>

#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

WhenProcessor::WhenProcessor(const QxNodePtr& /*configuration*/) {}

void WhenProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    const QxNodePtr timeRange = filters.GetChild("TimeRange", false);
    if (const QxNodePtr condition = FilterHelper::ConvertTimeRangeToWhenCondition(timeRange))
        FilterHelper::AddNewCondition(condition, filters);
    filters.SetAttribute("DateTimeOffset", filters.GetAttributeOr<int32_t>("TimeZoneOffsetSec", 0));
    filters.SetAttribute("DateTimePart", "second");
}

}  // namespace OverviewReportsProcessing
