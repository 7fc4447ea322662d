// Construction, sub-request tasks and cancellation of a retrieve counters context.
#include "module/OverviewReportsProcessing/Corvane/RetrieveCountersContext.h"

#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/ProductIdRemaper.h"
#include "platform/os/Uuid.h"

namespace Corvane {

using namespace cvn;

namespace {
std::atomic<size_t> g_liveContexts{0};
constexpr const char* kSubRequestType = "RetrieveCountersSubRequest";
}  // namespace

CRetrieveCountersContext::LiveCounter::LiveCounter() noexcept { g_liveContexts.fetch_add(1); }
CRetrieveCountersContext::LiveCounter::~LiveCounter() { g_liveContexts.fetch_sub(1); }
size_t CRetrieveCountersContext::LiveCount() noexcept { return g_liveContexts.load(); }

CRetrieveCountersContext::CRetrieveCountersContext(
    const QxNodePtr& configuration, const QxNodePtr& request,
    std::shared_ptr<const OverviewReportsProcessing::ProductIdRemaper> remapper)
    : m_lastAccess(SystemNow()), m_id(os::NewUuid()), m_remapper(std::move(remapper))
{
    CV_TRACE_METHOD(Dbg2);
    try {
        ThrowIf(!configuration || !request, E_POINTER);
        m_waitDataInterval = std::chrono::milliseconds(configuration.GetRequiredAttribute<int64_t>("WaitDataInterval"));
        m_factory = GetNamedInstance<IDataRetrieverFactory>(
            configuration.GetRequiredAttribute<std::string>("DispatcherFactoryNameInstance"));
        FilterHelper::ExpandPresetConditions(request);
        m_request = request.Clone(0);
        const ComPtr<IMetaInfoProvider> metaInfo = GetNamedInstance<IMetaInfoProvider>(
            configuration.GetRequiredAttribute<std::string>("MetaInfoProviderInstanceName"));

        if (const QxNodePtr given = request.GetChild("TimeRange", false)) {
            m_timeRange = given.Clone();
        } else {
            const int32_t offset = request.GetAttributeOr<int32_t>("TimeZoneOffsetSec", 0);
            ThrowIfFailed(metaInfo->GetDefaultTimeRange(offset, m_timeRange.Reset()));
            ThrowIfNull(m_timeRange);
            request.AddChild(m_timeRange.Clone());
        }

        for (const QxNodePtr& child : request.GetChildren()) {
            if (child.GetType() != kSubRequestType) {
                m_request.AddChild(child.Clone());
                continue;
            }
            const QxNodePtr query = FilterHelper::MakeSubRequestFilters(request, child.GetName());
            ProcessRequest(query.Clone());
            query.SetType(kSubRequestType);
            m_request.AddChild(query);
        }
    } catch (...) {
        // The tasks started so far block in their retrievers until cancelled; the member
        // destructors would otherwise wait for them forever.
        Cancel();
        throw;
    }
}

CRetrieveCountersContext::~CRetrieveCountersContext()
{
    CV_TRACE_METHOD(Dbg2);
    try {
        Cancel();
    } catch (const HRX& error) {
        CV_LOG(Err, "Corvane::CRetrieveCountersContext::~CRetrieveCountersContext failed: " << error);
    } catch (...) {
        CV_LOG(Err, "Corvane::CRetrieveCountersContext::~CRetrieveCountersContext failed: unexpected exception");
    }
}

void CRetrieveCountersContext::ProcessRequest(const QxNodePtr& query)
{
    CV_TRACE_METHOD(Dbg2);
    std::lock_guard lock(m_lock);
    const std::string name = query.GetName();
    // A second sub-request of the same name keeps the first; no retriever is started for it.
    if (m_subRequests.count(name) != 0) return;
    m_subRequests.emplace(name, MakeContext(query));
}

CRetrieveCountersContext::ResultInternalContext CRetrieveCountersContext::MakeContext(const QxNodePtr& query)
{
    CV_TRACE_METHOD(Dbg);
    const bool replaced = m_remapper && m_remapper->ReplaceDataSourceFilters(query);
    ComPtr<IDataRetriever> retriever;
    ThrowIfFailed(m_factory->CreateRetriever(query.Get(), retriever.Put()));
    ThrowIfNull(retriever);

    auto task = [retriever, replaced, remapper = m_remapper]() -> CRequestResult {
        constexpr const char* kName = "Corvane::CRetrieveCountersContext::MakeContext::<lambda_1>::operator ()";
        CV_TRACE(Dbg, kName);
        CRequestResult result;
        try {
            QxNodePtr data;
            ThrowIfFailed(retriever->GetData(data.Reset()));
            if (replaced && data) remapper->ReplaceProductIdByDataSource(data);
            result.node = std::move(data);
        } catch (...) {
            // Logs "<name> failed: <error text>" and leaves the error object for the HRX to take.
            result.node = nullptr;
            result.error = HRX(ResultFromCaughtException(kName));
        }
        return result;
    };
    ResultInternalContext context;
    context.result = std::async(std::launch::async, std::move(task)).share();
    context.retriever = std::move(retriever);
    return context;
}

void CRetrieveCountersContext::Cancel()
{
    CV_TRACE_METHOD(Dbg2);
    std::lock_guard lock(m_lock);
    for (const auto& [name, context] : m_subRequests) {
        const HRESULT hr = context.retriever->Cancel();
        CV_LOG(Dbg, "Request id: " << m_id << " Canceletion retrieve status = " << HRX(hr) << " for key = " << name);
    }
}

void CRetrieveCountersContext::UpdateLastTimeAccess()
{
    CV_TRACE_METHOD(Dbg2);
    std::lock_guard lock(m_lock);
    m_lastAccess = SystemNow();
}

SystemTimePoint CRetrieveCountersContext::GetLastTimeAccess()
{
    CV_TRACE_METHOD(Dbg2);
    std::lock_guard lock(m_lock);
    return m_lastAccess;
}

}  // namespace Corvane
