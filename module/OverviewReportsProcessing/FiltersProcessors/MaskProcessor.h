// MaskProcessor: adds the condition on the group mask that selects the pre-aggregated
// counters serving the filter's columns.
// Thread safety: stateless; serves any number of requests at once.
#pragma once

#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

class MaskProcessor : public IFiltersProcessor {
public:
    /// Has no configuration; the node (possibly null) is ignored.
    explicit MaskProcessor(const cvn::QxNodePtr& configuration);

    /// Adds Mask = the serving group's mask plus ManagedObjectUId as the first AND term;
    /// HRX 0x80070490 (logged) when no group serves the filter's columns, 0x8007000D when the filter is
    /// nested deeper than FilterHelper::kMaxTreeDepth; the filter is then unchanged.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;
};

}  // namespace OverviewReportsProcessing
