// SortingProcessor: the default sorting.
#include "module/OverviewReportsProcessing/FiltersProcessors/SortingProcessor.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

SortingProcessor::SortingProcessor(const QxNodePtr& configuration)
{
    const QxNodePtr sorting = configuration ? configuration.GetChild("SortingRoot", false) : QxNodePtr();
    if (!sorting)
        CV_FAIL_LOGGED("OverviewReportsProcessing::SortingProcessor::SortingProcessor", cvn::kHrNotFound,
                       "SortingRoot is missing from the configuration");
    // A copy of our own: the configuration tree may change or go away after construction.
    m_sorting = sorting.Clone();
}

void SortingProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    if (filters.GetChild("SortingRoot", false)) return;  // the request's own sorting wins
    filters.AddChild(m_sorting.Clone());
}

}  // namespace OverviewReportsProcessing
