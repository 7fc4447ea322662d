// One filter rewriting step of a retrieve method's chain.
// Thread safety: a processor serves several requests at once; each call gets
// its own filter node, and processors keep no per-request state.
#pragma once

#include "NodeAccess/QxNodePtr.h"

namespace OverviewReportsProcessing {

class IFiltersProcessor {
public:
    /// Rewrites the filter node in place; throws HRX on failure, leaving what it changed so far.
    virtual void ProcessFilters(const corvane::QxNodePtr& filters) = 0;
    /// Ends what the processor follows (subscriptions); does nothing by default.
    virtual void Shutdown() {}
    virtual ~IFiltersProcessor() = default;
};

}  // namespace OverviewReportsProcessing
