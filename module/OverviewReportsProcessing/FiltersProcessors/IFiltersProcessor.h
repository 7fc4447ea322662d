// One filter rewriting step of a retrieve method's chain; held through shared
// ownership. Thread safety: a processor is used by several requests at once,
// each with its own filter node, so it keeps no per-request state.
#pragma once

#include <memory>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"

namespace OverviewReportsProcessing {

class IFiltersProcessor {
public:
    /// Rewrites the filter node in place; throws HRX on failure (the node may be partly rewritten).
    virtual void ProcessFilters(const cvn::QxNodePtr& filters) = 0;
    /// Ends what the processor started at construction (subscriptions); never throws.
    virtual void Shutdown() {}
    virtual ~IFiltersProcessor() = default;
};

using FiltersProcessorPtr = std::shared_ptr<IFiltersProcessor>;
/// Processors in running order; all of them rewrite the same node.
using ProcessorsChain = std::vector<FiltersProcessorPtr>;

}  // namespace OverviewReportsProcessing
