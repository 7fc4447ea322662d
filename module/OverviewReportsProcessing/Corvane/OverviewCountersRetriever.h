// CDataRetriever: runs one sub-request at the queries processor: hands it over
// at construction, polls its handle every WaitIntervalMs on the first thread
// that waits for the result (the answer that ends the query is handed out
// without a further wait), and releases the handle (FreeResult) when cancelled
// or destroyed, whichever comes first.
// Thread safety: GetData, Cancel and GetMetaInfo may be called from any thread
// at once; the polling loop runs once and every caller shares its outcome.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ServiceInterfaces.h"
#include "module/OverviewReportsProcessing/Corvane/RetrievalInterfaces.h"

namespace Corvane {

class CDataRetriever : public cvn::Implements<cvn::IDataRetriever> {
public:
    /// Sends request to the queries processor that config names; throws HRX 0x80070490 for a missing
    /// setting, E_INVALIDARG for a null handle answer, and the service's code when it refuses.
    CDataRetriever(const cvn::QxNodePtr& request, const cvn::QxNodePtr& config);
    /// Cancels, then releases the handle at the queries processor; failures are logged, never thrown.
    ~CDataRetriever();

    /// Releases the query at the queries processor, which stops it and answers a poll in flight, and
    /// stops the polling; 0x8007071A when that ended it, S_OK when it had finished well.
    HRESULT Cancel() noexcept override;
    /// The final answer named "Counters" (E_POINTER for null out); its error when the query failed.
    HRESULT GetData(::IQxNode** data) noexcept override;
    /// "MetaInfo" with the sub-request's "RetrieveMethod" and "TimeRange"; 0x80070490 when one is missing.
    HRESULT GetMetaInfo(::IQxNode** metaInfo) noexcept override;

private:
    cvn::QxNodePtr RetrieveData();
    cvn::QxNodePtr CallQueriesProcessor(const cvn::QxNodePtr& node);
    /// FreeResult for the handle, once; failures are logged.
    void FreeQuery() noexcept;

    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_freed{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_future<cvn::QxNodePtr> m_result;
    std::chrono::milliseconds m_waitInterval{0};
    cvn::QxNodePtr m_request;
    cvn::QxNodePtr m_handle;
    cvn::ComPtr<cvn::IServiceProxy> m_proxy;
    cvn::ComPtr<cvn::IRequestContext> m_capturedContext;
    std::string m_requestName;  // for the tracing scopes, read once
};

}  // namespace Corvane
