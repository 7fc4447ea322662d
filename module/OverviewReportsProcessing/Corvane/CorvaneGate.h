// CCorvaneGate: the component through which the host reaches the module. It
// dispatches request nodes by type, answers every failure inside the response,
// and keeps the registry of running retrieve requests with its garbage collector.
// Thread safety: ProcessRequest may run on any number of threads at once;
// Configure and Shutdown are called by the host while no request is served.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/Components/ComponentObject.h"
#include "common/Helpers/AsyncAction.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "module/OverviewReportsProcessing/Corvane/RetrievalInterfaces.h"

namespace OverviewReportsProcessing {
class ProductIdRemaper;
}

namespace Corvane {

class CRetrieveCountersContext;
class SqlConnectionVerifier;

class CCorvaneGate
    : public cvn::Implements<cvn::IConfigurableComponent, cvn::IComponentWithShutdown,
                                 cvn::IRequestProcessor> {
public:
    using QxNodePtr = cvn::QxNodePtr;

    /// Fills the handler table; S_OK.
    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;

    /// Reads the configuration; on failure shuts the gate down and returns the failure (0x80070490
    /// for the first missing key, E_POINTER for a null node).
    HRESULT Configure(IQxNode* configuration) noexcept override;
    /// Stops the garbage collector; a second call does nothing.
    HRESULT Shutdown() noexcept override;
    /// S_OK with a response (which carries any handler failure); E_POINTER for a null argument.
    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override;

    /// Removes the contexts nobody polled for the time to live and their wait interval; never throws.
    void GarbageCollector() noexcept;
    /// How many retrieve requests are registered.
    size_t RegisteredContextCount();

private:
    using Handler = void (CCorvaneGate::*)(const QxNodePtr& request, const QxNodePtr& response);
    using ContextPtr = std::shared_ptr<CRetrieveCountersContext>;

    void DispatchRequest(const QxNodePtr& request, const QxNodePtr& response);
    void RetrieveCookieRequest(const QxNodePtr& request, const QxNodePtr& response);
    void RetrieveCountersRequest(const QxNodePtr& request, const QxNodePtr& response);
    void FreeCookieRequest(const QxNodePtr& request, const QxNodePtr& response);
    void GetRetrieveMethodRequest(const QxNodePtr& request, const QxNodePtr& response);
    void RetrieveTimeRangeRequest(const QxNodePtr& request, const QxNodePtr& response);
    ContextPtr GetRetrieveCountersContext(const QxNodePtr& request, const QxNodePtr& response);
    ContextPtr FindRetrieveCountersContext(const GUID& token);
    /// Erases the token and hands back the map's reference, so the context dies outside the lock. The
    /// message and token are logged when the token was there, or always with logAbsent.
    ContextPtr RemoveContext(const GUID& token, const char* message, bool logAbsent = false);

    std::unordered_map<std::string, Handler> m_handlers;
    QxNodePtr m_retrieveCountersConfiguration;
    std::chrono::milliseconds m_ttlRequest{0};
    std::unique_ptr<cvn::CAsyncAction> m_garbageCollector;
    std::recursive_mutex m_contextsLock;
    std::unordered_map<GUID, ContextPtr> m_contexts;
    cvn::ComPtr<cvn::IMetaInfoProvider> m_metaInfoProvider;
    std::shared_ptr<const OverviewReportsProcessing::ProductIdRemaper> m_productIdRemapper;
    std::shared_ptr<SqlConnectionVerifier> m_sqlConnectionVerifier;
};

}  // namespace Corvane
