// The gate's life cycle, request entry and dispatch, and the two requests the
// meta info provider answers alone.
#include "module/OverviewReportsProcessing/Corvane/CorvaneGate.h"

#include <atomic>

#include "common/ErrorHandling/ResultNodes.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "module/OverviewReportsProcessing/ClassTable.h"
#include "module/OverviewReportsProcessing/Corvane/RetrieveCountersContext.h"
#include "module/OverviewReportsProcessing/Corvane/SqlConnectionVerifier.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/ProductIdRemaper.h"

namespace Corvane {

using namespace cvn;

namespace {

constexpr HRESULT kHrUnknownRequest = static_cast<HRESULT>(0x80040513);

const ClassRegistration<CCorvaneGate> g_registration{CLSID_CorvaneGate};

}  // namespace

HRESULT CCorvaneGate::FinalConstruct() noexcept
try {
    CV_TRACE_METHOD(Dbg);
    m_handlers = {
        {"RetrieveCookieRequest", &CCorvaneGate::RetrieveCookieRequest},
        {"FreeCookieRequest", &CCorvaneGate::FreeCookieRequest},
        {"RetrieveCountersDataRequest", &CCorvaneGate::RetrieveCountersRequest},
        {"RetrieveCountersRequest", &CCorvaneGate::RetrieveCountersRequest},
        {"RetrieveTimeRangeRequest", &CCorvaneGate::RetrieveTimeRangeRequest},
        {"GetRetrieveMethodRequest", &CCorvaneGate::GetRetrieveMethodRequest},
    };
    return S_OK;
}
CV_CATCH_RETURN()

void CCorvaneGate::FinalRelease() noexcept { CV_TRACE_METHOD(Dbg); }

HRESULT CCorvaneGate::Configure(IQxNode* configuration) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ScopeExit failureGuard([this] { Shutdown(); });
    ThrowIfNull(configuration);
    const QxNodePtr cfg(configuration);

    m_productIdRemapper =
        std::make_shared<const OverviewReportsProcessing::ProductIdRemaper>(cfg.GetChild("DataSourceMapping"));
    m_retrieveCountersConfiguration = cfg.GetChild("RetrieveCounters");
    m_metaInfoProvider =
        GetNamedInstance<IMetaInfoProvider>(cfg.GetRequiredAttribute<std::string>("MetaInfoProviderNameInstance"));
    const int32_t cacheSec = cfg.GetAttributeOr<int32_t>("SqlConnectionCacheInSec", 30);
    const std::string settingsPath = cfg.GetRequiredAttribute<std::string>("ReportingSettingsCfgPath");
    m_sqlConnectionVerifier = std::make_shared<SqlConnectionVerifier>(settingsPath, std::chrono::seconds(cacheSec));
    m_ttlRequest = std::chrono::milliseconds(cfg.GetRequiredAttribute<int64_t>("TtlRequest") * 1000);
    const int64_t intervalSec = cfg.GetRequiredAttribute<int64_t>("GarbageCollectorRoutineInterval");
    ThrowIf(intervalSec < 0, kHrInvalidData);

    const std::chrono::milliseconds period = std::chrono::seconds(intervalSec);
    // The counted reference keeps the gate alive for as long as its worker runs. The worker sleeps on the
    // clock installed now, which is the clock the collector reads for the requests' ages.
    ComPtr<IConfigurableComponent> self(static_cast<IConfigurableComponent*>(this));
    m_garbageCollector = std::make_unique<CAsyncAction>(
        period, period,
        [this, self](CAsyncAction& worker) {
            if (!worker.IsStopRequested()) GarbageCollector();
        },
        ProcessClock());
    failureGuard.Dismiss();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CCorvaneGate::Shutdown() noexcept
try {
    CV_TRACE_METHOD(Dbg);
    m_garbageCollector.reset();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CCorvaneGate::ProcessRequest(IQxNode* request, IQxNode** response) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIf(!request || !response, E_POINTER);
    const QxNodePtr requestNode(request);
    CV_LOG(Dbg2, "Request: " << requestNode);
    *response = nullptr;
    QxNodePtr responseNode = QxNodePtr::Create(requestNode.GetName());
    DispatchRequest(requestNode, responseNode);
    CV_LOG(Dbg2, "Response: " << responseNode);
    *response = responseNode.Detach();
    return S_OK;
}
CV_CATCH_RETURN()

void CCorvaneGate::DispatchRequest(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    HRX result;
    try {
        const auto found = m_handlers.find(request.GetType());
        if (found == m_handlers.end()) {
            CV_LOG(Err, "Unknown request: " << request);
            ThrowHr(kHrUnknownRequest);
        }
        (this->*found->second)(request, response);
    } catch (const HRX& error) {
        result = error;
    }
    WriteResultToNode(response, result);
}

void CCorvaneGate::GetRetrieveMethodRequest(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    ThrowIfNull(m_metaInfoProvider);
    QxNodePtr answer;
    ThrowIfFailed(m_metaInfoProvider->GetRetrieveMethod(request.Get(), answer.Reset()));
    CopyAttributes(answer, response);
    // A choice the provider could not make is answered as that failure, not as a success without a method.
    ReadResultFromNode(answer).ThrowIfFailed();
}

void CCorvaneGate::RetrieveTimeRangeRequest(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    try {
        ThrowIfNull(m_metaInfoProvider);
        const int32_t offset = request.GetAttributeOr<int32_t>("TimeZoneOffsetSec", 0);
        QxNodePtr timeRange;
        ThrowIfFailed(m_metaInfoProvider->GetAvailableTimeRange(offset, timeRange.Reset()));
        if (timeRange) response.AddChild(timeRange);
    } catch (const HRX& error) {
        CV_LOG(Err, "Corvane::CCorvaneGate::RetrieveTimeRangeRequest failed: " << error);
        throw;
    }
}

}  // namespace Corvane
