// The queries processor exchange of one sub-request.
#include "module/OverviewReportsProcessing/Corvane/OverviewCountersRetriever.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "common/ServiceLayer/RequestContext.h"

namespace Corvane {

using namespace cvn;

namespace {

constexpr HRESULT kHrCancelled = HResultFromWin32(RPC_S_CALL_CANCELLED);
constexpr int32_t kStatusRunning = 1;

// Copies a numeric or text attribute keeping its stored type.
void CopyAttribute(const QxNodePtr& from, const QxNodePtr& to, std::string_view name)
{
    uint32_t stored = 0;
    if (!from.HasAttribute(name, &stored)) QxNodePtr::ThrowMissingAttribute(name);
    if (stored == QXN_TYPE_INT32 || stored == QXN_TYPE_INT32_ALT) {
        const int32_t value = from.GetRequiredAttribute<int32_t>(name);
        to.SetAttributeRaw(name, static_cast<uint16_t>(stored), &value, sizeof value);
    } else if (stored == QXN_TYPE_INT64) {
        to.SetAttribute(name, from.GetRequiredAttribute<int64_t>(name));
    } else {
        to.SetAttribute(name, from.GetRequiredAttribute<std::string>(name));
    }
}

}  // namespace

CDataRetriever::CDataRetriever(const QxNodePtr& request, const QxNodePtr& config)
{
    log::TraceScope trace(log::Severity::Dbg2, log::Severity::Dbg2, "Corvane::CDataRetriever::CDataRetriever",
                          __FILE__, __LINE__);
    ThrowIf(!request || !config, E_POINTER);
    m_request = request;
    m_requestName = request.GetName();
    if (config.GetAttributeOr<bool>("CaptureContext", true)) {
        const ComPtr<IRequestContext> current = GetRequestContext(kRequestContextCurrent);
        m_capturedContext = CopyRequestContext(1, current.Get());
    }
    m_waitInterval = std::chrono::milliseconds(config.GetRequiredAttribute<int64_t>("WaitIntervalMs"));
    if (m_waitInterval.count() < 0)
        ThrowHrWithDescription(kHrInvalidData, "WaitIntervalMs is negative: " + std::to_string(m_waitInterval.count()));
    const std::u16string uri = ToUtf16(config.GetRequiredAttribute<std::string>("QueriesProcessorUri"));
    const ComPtr<IServiceClient> client = GetNamedInstance<IServiceClient>(kServiceClientName);
    ThrowIfFailed(client->CreateProxy(uri.c_str(), 0, &IServiceProxy::kIid, m_proxy.PutVoid()));
    ThrowIfNull(m_proxy);
    m_handle = CallQueriesProcessor(m_request);
    if (!m_handle) ThrowHrWithDescription(E_INVALIDARG, "The queries processor returned no handle for " + m_requestName);
    m_result = std::async(std::launch::deferred, [this] { return RetrieveData(); }).share();
}

CDataRetriever::~CDataRetriever()
{
    log::TraceScope trace(log::Severity::Dbg2, log::Severity::Dbg2, "Corvane::CDataRetriever::~CDataRetriever",
                          __FILE__, __LINE__);
    Cancel();
}

void CDataRetriever::FreeQuery() noexcept
{
    if (m_freed.exchange(true)) return;
    try {
        // A copy: the polling thread may be reading the handle node meanwhile.
        const QxNodePtr free = m_handle.Clone();
        free.SetAttribute("FreeResult", true);
        CallQueriesProcessor(free);
    } catch (...) {
        ResultFromCaughtException("Corvane::CDataRetriever::FreeQuery");
    }
}

QxNodePtr CDataRetriever::CallQueriesProcessor(const QxNodePtr& node)
{
    CRequestContextScope scope(m_capturedContext.Get());
    IQxNode* answer = nullptr;
    ThrowIfFailed(m_proxy->ProcessRequest(node.Get(), &answer));
    return QxNodePtr(answer, QxNodePtr::Attach{});
}

QxNodePtr CDataRetriever::RetrieveData()
{
    CV_TRACE_METHOD(Dbg2);
    int32_t status = kStatusRunning;
    QxNodePtr response;
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (status != kStatusRunning) {
            ReadResultFromNode(response, kErrorResultAttributes).ThrowIfFailed();
            response.SetName("Counters");
            return response;
        }
        log::TraceScope iteration(log::Severity::Dbg3, log::Severity::Dbg3,
                                  log::IsEnabled(log::Severity::Dbg3) ? "Retrieve " + m_requestName : std::string(),
                                  __FILE__, __LINE__);
        ThrowIf(m_cancelled.load(), kHrCancelled);
        try {
            response = CallQueriesProcessor(m_handle);
        } catch (...) {
            // Freed by Cancel while this poll waited: the processor no longer knows the handle.
            ThrowIf(m_cancelled.load(), kHrCancelled);
            throw;
        }
        if (!response) ThrowHrWithDescription(kHrInvalidData, "The queries processor returned no poll answer for " + m_requestName);
        status = response.GetRequiredAttribute<int32_t>("Status");
        // The answer that ends the query is handed out at once; only a running query waits.
        if (status != kStatusRunning) continue;
        // Cancel notifies without the lock, so a notification just before this wait may be missed;
        // the wait then ends with its interval.
        m_wake.wait_for(lock, m_waitInterval, [this] { return m_cancelled.load(); });
    }
}

HRESULT CDataRetriever::Cancel() noexcept
try {
    log::TraceScope trace(log::Severity::Dbg2, log::Severity::Dbg2,
                          log::IsEnabled(log::Severity::Dbg2) ? "Cancel " + m_requestName : std::string(), __FILE__,
                          __LINE__);
    m_cancelled.store(true);
    m_wake.notify_all();
    // Freed before waiting: a poll in flight may be held open at the processor, which stops the
    // query at once when freed instead of when that poll comes back.
    FreeQuery();
    m_result.get();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CDataRetriever::GetData(IQxNode** data) noexcept
try {
    log::TraceScope trace(log::Severity::Dbg2, log::Severity::Dbg2,
                          log::IsEnabled(log::Severity::Dbg2) ? "GetData " + m_requestName : std::string(), __FILE__,
                          __LINE__);
    ThrowIfNull(data);
    *data = nullptr;
    QxNodePtr result = m_result.get();
    *data = result.Detach();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CDataRetriever::GetMetaInfo(IQxNode** metaInfo) noexcept
try {
    ThrowIfNull(metaInfo);
    *metaInfo = nullptr;
    const QxNodePtr info = QxNodePtr::Create("MetaInfo", "MetaInfo");
    CopyAttribute(m_request, info, "RetrieveMethod");
    info.AddChild(m_request.GetChild("TimeRange").Clone());
    *metaInfo = QxNodePtr(info).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace Corvane
