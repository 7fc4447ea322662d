// WhenProcessor: turns the filter's "TimeRange" into conditions on "When" and passes the
// client's time zone offset on as "DateTimeOffset" in seconds.
// Thread safety: stateless; serves any number of requests at once.
#pragma once

#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

class WhenProcessor : public IFiltersProcessor {
public:
    /// Has no configuration; the node (possibly null) is ignored.
    explicit WhenProcessor(const cvn::QxNodePtr& configuration);

    /// Adds the When condition as the first AND term (none without a range) and always writes the offset;
    /// HRX 0x8007000D when the range lacks a bound, with the filter unchanged.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;
};

}  // namespace OverviewReportsProcessing
