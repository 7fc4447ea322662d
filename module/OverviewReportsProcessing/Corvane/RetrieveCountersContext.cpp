// Construction, sub-request tasks and cancellation of a retrieve counters context.
#include "module/OverviewReportsProcessing/Corvane/RetrieveCountersContext.h"

#include <string>
#include <vector>

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
constexpr int32_t kDefaultMaxSubRequests = 256;

// What one sub-request's query reads of the request: the request's own attributes, its children other
// than sub-requests, and the sub-request itself. Each query is built from a copy of just these, so the
// work grows with the number of sub-requests, not with its square.
class RequestParts {
public:
    explicit RequestParts(const QxNodePtr& request) : m_request(request), m_children(request.GetChildren())
    {
        for (size_t i = 0; i < m_children.size(); ++i) {
            if (m_children[i].GetType() != kSubRequestType) {
                m_shared.push_back(i);
            } else {
                // A name given twice is looked up as its first: every query of that name reads the first.
                m_firstByName.emplace(m_children[i].GetName(), i);
            }
        }
    }

    const std::vector<QxNodePtr>& Children() const noexcept { return m_children; }

    /// The request as the sub-request's query reads it. A replacement whose path leads outside these
    /// parts (into another sub-request) needs the whole request, as the lookup would fail on the parts.
    QxNodePtr For(const std::string& subName) const
    {
        const size_t subIndex = m_firstByName.at(subName);
        const QxNodePtr parts = m_request.Clone(0);
        bool added = false;
        for (const size_t index : m_shared) {
            if (!added && subIndex < index) {
                parts.AddChild(m_children[subIndex].Clone());
                added = true;
            }
            parts.AddChild(m_children[index].Clone());
        }
        if (!added) parts.AddChild(m_children[subIndex].Clone());
        if (const QxNodePtr sub = parts.GetChild(subName, false)) {
            if (const QxNodePtr replacements = sub.GetChild("Replacement", false)) {
                for (const QxNodePtr& replacement : replacements.GetChildren()) {
                    std::string path;
                    if (replacement.GetAttribute("Path", path) && !parts.FindByPath(path)) return m_request;
                }
            }
        }
        return parts;
    }

private:
    QxNodePtr m_request;
    std::vector<QxNodePtr> m_children;
    std::vector<size_t> m_shared;
    std::unordered_map<std::string, size_t> m_firstByName;
};

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
        // A poll sleeps up to this per step while nothing has finished: without it, it would spin.
        ThrowIf(m_waitDataInterval.count() <= 0, kHrInvalidData,
                "WaitDataInterval is " + std::to_string(m_waitDataInterval.count()) + "; it must be at least 1 ms");
        m_factory = GetNamedInstance<IDataRetrieverFactory>(
            configuration.GetRequiredAttribute<std::string>("DispatcherFactoryNameInstance"));
        const int32_t maxSubRequests = configuration.GetAttributeOr<int32_t>("MaxSubRequests", kDefaultMaxSubRequests);
        ThrowIf(maxSubRequests < 0, kHrInvalidData,
                "MaxSubRequests is " + std::to_string(maxSubRequests) + "; it must not be negative");
        // Each sub-request costs a thread and a query: refused before anything starts.
        size_t subRequestCount = 0;
        for (const QxNodePtr& child : request.GetChildren())
            if (child.GetType() == kSubRequestType) ++subRequestCount;
        ThrowIf(subRequestCount > static_cast<size_t>(maxSubRequests), kHrInvalidData,
                "The request has " + std::to_string(subRequestCount) + " sub-requests; at most " +
                    std::to_string(maxSubRequests) + " are allowed (MaxSubRequests)");
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

        const RequestParts parts(request);
        for (const QxNodePtr& child : parts.Children()) {
            if (child.GetType() != kSubRequestType) {
                m_request.AddChild(child.Clone());
                continue;
            }
            const std::string name = child.GetName();
            const QxNodePtr query = FilterHelper::MakeSubRequestFilters(parts.For(name), name);
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

    auto run = [retriever, replaced, remapper = m_remapper]() -> CRequestResult {
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
    std::promise<CRequestResult> promise;
    ResultInternalContext context;
    context.result = promise.get_future().share();
    // The result is set before the signal: a poll woken by it finds the result ready.
    auto task = [run = std::move(run), promise = std::move(promise), completions = m_completions]() mutable {
        try {
            promise.set_value(run());
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
        completions->Notify();
    };
    context.task = std::async(std::launch::async, std::move(task));
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
    m_lastAccess.store(SystemNow());
}

SystemTimePoint CRetrieveCountersContext::GetLastTimeAccess()
{
    CV_TRACE_METHOD(Dbg2);
    // Never takes m_lock: a poll holds it for its whole wait, and the collector must not wait for it.
    return m_lastAccess.load();
}

}  // namespace Corvane
