// SortingProcessor: gives a filter without sorting of its own the configured default sorting.
// Thread safety: the configured node is only read after construction; serves any number of
// requests at once.
#pragma once

#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

class SortingProcessor : public IFiltersProcessor {
public:
    /// Keeps a copy of the child named "SortingRoot"; HRX 0x80070490 (logged) when the node is null or lacks it.
    explicit SortingProcessor(const cvn::QxNodePtr& configuration);

    /// Appends a copy of the default sorting unless the filter has a "SortingRoot" (even an empty one).
    void ProcessFilters(const cvn::QxNodePtr& filters) override;

private:
    cvn::QxNodePtr m_sorting;
};

}  // namespace OverviewReportsProcessing
