// Polls of a retrieve counters context: the answer's structure, waiting for
// sub-requests and writing their results or failures into the answer.
#include "module/OverviewReportsProcessing/Corvane/RetrieveCountersContext.h"

#include <vector>

#include "common/ErrorHandling/ResultCodes.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/RequestContext.h"

namespace Corvane {

using namespace cvn;

namespace {

constexpr const char* kStatusAttribute = "RetrieveStatus";

// Failures of a single sub-request that the answer as a whole survives.
bool IsTolerated(HRESULT code)
{
    return code == kHrDatabaseUnavailable || code == kHrDatabaseBusy || code == kHrQueryTimeLimit ||
           code == kHrQueryRowLimit;
}

}  // namespace

CRetrieveCountersContext::SubResponses CRetrieveCountersContext::AdjustRetrieveCountersResponse(
    const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    response.AddChild(m_request.Clone());
    response.AddChild(m_timeRange.Clone());
    std::lock_guard lock(m_lock);
    SubResponses subResponses;
    for (const auto& [name, context] : m_subRequests) {
        const QxNodePtr subResponse = QxNodePtr::Create(name, "RetrieveCountersSubResponse");
        subResponse.SetAttribute(kStatusAttribute, int32_t{0});
        QxNodePtr metaInfo;
        ThrowIfFailed(context.retriever->GetMetaInfo(metaInfo.Reset()));
        if (metaInfo) subResponse.AddChild(metaInfo);
        response.AddChild(subResponse);
        subResponses.emplace(name, subResponse);
    }
    return subResponses;
}

bool CRetrieveCountersContext::Collect(const std::string& name, const QxNodePtr& subResponse,
                                       const ResultInternalContext& context, std::set<std::string>& newCompletions)
{
    int32_t status = subResponse.GetRequiredAttribute<int32_t>(kStatusAttribute);
    if (status == 0) {
        if (context.result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready) {
            const CRequestResult& result = context.result.get();
            if (result.error.IsFailure()) {
                status = 2;
                WriteResultToNode(subResponse, result.error);
            } else {
                status = 1;
                // The result is shared by every later poll; each answer gets its own copy.
                if (result.node) subResponse.AddChild(result.node.Clone());
            }
        }
    }
    subResponse.SetAttribute(kStatusAttribute, status);
    if (status == 0) return false;
    if (m_delivered.insert(name).second) newCompletions.insert(name);
    const HRX recorded = ReadResultFromNode(subResponse);
    if (recorded.IsFailure() && !IsTolerated(recorded.Code())) recorded.ThrowIfFailed();
    return true;
}

uint32_t CRetrieveCountersContext::GetData(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    const SubResponses subResponses = AdjustRetrieveCountersResponse(response);
    bool expected = true;
    if (m_firstPoll.compare_exchange_strong(expected, false)) return 0;

    bool partial = m_request.GetAttributeOr<bool>("PartialResult", true);
    if (request && request.HasAttribute("PartialResult")) partial = request.GetAttributeOr<bool>("PartialResult", true);

    std::lock_guard lock(m_lock);
    const size_t target = partial ? 1 : m_subRequests.size();
    uint32_t status = 0;
    std::set<std::string> newCompletions;
    const auto finished = [&] { return newCompletions.size() >= target || m_delivered.size() >= m_subRequests.size(); };
    // Sub-requests this poll has not written yet; each step takes whatever has finished, so a ready
    // result never waits behind one that is not.
    std::vector<const std::pair<const std::string, ResultInternalContext>*> pending;
    pending.reserve(m_subRequests.size());
    for (const auto& entry : m_subRequests) pending.push_back(&entry);
    while (status == 0 && !finished()) {
        if (IsCurrentRequestCancelled()) {
            CV_LOG(Dbg, "Cancel request with id:" << m_id);
            status = 2;
            Cancel();
            // A cancelled caller waits no longer: its answer is status 2 at once.
            break;
        }
        UpdateLastTimeAccess();
        // Read before looking, so a task finishing in between still ends the wait below.
        const uint64_t seen = m_completions->Count();
        std::erase_if(pending, [&](const auto* entry) {
            return Collect(entry->first, subResponses.at(entry->first), entry->second, newCompletions);
        });
        if (finished()) break;
        m_completions->WaitPast(seen, m_waitDataInterval);
    }
    if (partial && status == 0) {
        for (const auto* entry : pending) Collect(entry->first, subResponses.at(entry->first), entry->second, newCompletions);
    }
    CV_LOG(Dbg, "Request id: " << m_id << " New completed sub requests: " << newCompletions.size());
    CV_LOG(Dbg, "Request id: " << m_id << " Total completed sub requests: " << m_delivered.size() << "/"
                               << m_subRequests.size());
    if (status == 0 && m_delivered.size() >= m_subRequests.size()) status = 1;
    return status;
}

}  // namespace Corvane
