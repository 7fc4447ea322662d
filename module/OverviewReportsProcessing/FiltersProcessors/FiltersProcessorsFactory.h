// The table of filter processor kinds by name, and the building and running of
// a retrieve method's processor chain from its configuration.
// Thread safety: the table is built once on first use and only read afterwards;
// the test registrations are locked. Chains may run from several threads at once.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

/// Makes one processor from its configuration node (null when nothing configures it).
using ProcessorActivator = std::function<FiltersProcessorPtr(const cvn::QxNodePtr& configuration)>;

template <class T>
ProcessorActivator BuildActivator()
{
    return [](const cvn::QxNodePtr& configuration) -> FiltersProcessorPtr {
        return std::make_shared<T>(configuration);
    };
}

/// A new processor of the named kind (exact, case-sensitive); an unknown name logs ERR and throws
/// HRX 0x8007000D; a processor refusing its configuration throws from its constructor.
FiltersProcessorPtr MakeProcessor(std::string_view name, const cvn::QxNodePtr& configuration);

/// The method node's child named like the processor, else the default node's, else null.
cvn::QxNodePtr FindProcessorConfig(std::string_view name, const cvn::QxNodePtr& methodConfig,
                                       const cvn::QxNodePtr& defaultConfig);

/// One processor per name of the method node's "Processors" list, in order; HRX 0x80070490 when the
/// list is missing, and any processor's failure aborts the whole chain. An empty list gives an empty chain.
ProcessorsChain BuildProcessorsChain(const cvn::QxNodePtr& methodConfig, const cvn::QxNodePtr& defaultConfig);

/// Runs every processor on the same node, in order; the first failure stops the run and propagates.
void RunProcessorsChain(const ProcessorsChain& chain, const cvn::QxNodePtr& filters);

}  // namespace OverviewReportsProcessing
