// CDataRetrieverFactory: turns a sub-request into a running data retriever:
// asks the meta info provider for the retrieve method, runs that method's
// processor chain over a copy, stamps the copy with the method.
// Thread safety: CreateRetriever may run from many threads at once; Configure
// and Shutdown swap the method table under a lock that requests only read.
#pragma once

#include <map>
#include <shared_mutex>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "module/OverviewReportsProcessing/Corvane/RetrievalInterfaces.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace Corvane {

class CDataRetrieverFactory
    : public cvn::Implements<cvn::IComponentWithShutdown, cvn::IConfigurableComponent,
                                 cvn::IDataRetrieverFactory> {
public:
    /// E_POINTER for null; 0x80070490 for a missing item; 0x8007000D for an unknown processor name.
    HRESULT Configure(::IQxNode* configuration) noexcept override;
    /// Shuts every processor down (methods ascending, chain order) and empties the method table.
    HRESULT Shutdown() noexcept override;
    /// A retriever for a processed copy of subRequest; E_POINTER for null arguments, 0x8007000D for a
    /// method without a chain, else the meta info provider's, a processor's or the retriever's error.
    HRESULT CreateRetriever(::IQxNode* subRequest, cvn::IDataRetriever** retriever) noexcept override;

    /// The processed copy of subRequest that a retriever would get (throws HRX as CreateRetriever fails).
    cvn::QxNodePtr ProcessFilters(const cvn::QxNodePtr& subRequest);

private:
    int32_t AskRetrieveMethod(const cvn::QxNodePtr& subRequest);

    std::shared_mutex m_lock;
    std::map<int32_t, OverviewReportsProcessing::ProcessorsChain> m_methods;
    cvn::QxNodePtr m_retrieverConfig;
    cvn::ComPtr<cvn::IMetaInfoProvider> m_metaInfoProvider;
};

}  // namespace Corvane
