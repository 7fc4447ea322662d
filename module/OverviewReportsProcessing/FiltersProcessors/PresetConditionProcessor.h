// PresetConditionProcessor: adds the condition on the id of the preset the counters were
// computed under ("PresetConditionName" of the filter, "DefaultPreset" when it names none).
// Thread safety: stateless; serves any number of requests at once.
#pragma once

#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

class PresetConditionProcessor : public IFiltersProcessor {
public:
    /// Has no configuration; the node (possibly null) is ignored.
    explicit PresetConditionProcessor(const cvn::QxNodePtr& configuration);

    /// Adds ConditionId = the preset's id as the first AND term; HRX 0x80070490 (logged) for a preset
    /// that is not configured, or one without "PresetConditionId", with the filter unchanged.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;
};

}  // namespace OverviewReportsProcessing
