// CRetrieveCountersContext: one registered retrieve request. It splits the
// request into one query per sub-request, runs each query's retriever on a
// thread of its own from construction on, and answers polls with the results.
// Thread safety: polls, Cancel and the access time readers may come from any
// thread; a poll holds the context's recursive lock for its whole wait, and
// wakes on whichever sub-request finishes first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/Clock.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ComPtr.h"
#include "module/OverviewReportsProcessing/Corvane/RetrievalInterfaces.h"

namespace OverviewReportsProcessing {
class ProductIdRemaper;
}

namespace Corvane {

class CRetrieveCountersContext {
public:
    /// What a sub-request's task delivers: the error (success when the retriever answered) and the data.
    struct CRequestResult {
        cvn::HRX error;
        cvn::QxNodePtr node;
    };
    struct ResultInternalContext {
        std::shared_future<CRequestResult> result;
        cvn::ComPtr<cvn::IDataRetriever> retriever;
        std::future<void> task;  ///< the thread that completes result; dropping it waits for the thread
    };

    /// Prepares the request (which it extends with the default time range when it has none) and starts
    /// every sub-request. Throws HRX (0x80070490 for a missing configuration key) after cancelling
    /// whatever it had started.
    CRetrieveCountersContext(const cvn::QxNodePtr& configuration, const cvn::QxNodePtr& request,
                             std::shared_ptr<const OverviewReportsProcessing::ProductIdRemaper> remapper);
    /// Cancels the retrievers and waits for their tasks; never throws.
    ~CRetrieveCountersContext();
    CRetrieveCountersContext(const CRetrieveCountersContext&) = delete;
    CRetrieveCountersContext& operator=(const CRetrieveCountersContext&) = delete;

    /// One poll: writes the answer into response and returns 0 (in progress), 1 (complete) or 2
    /// (cancelled by the caller). Throws HRX for a sub-request failure that is not tolerated.
    uint32_t GetData(const cvn::QxNodePtr& request, const cvn::QxNodePtr& response);
    /// Cancels every retriever; failures are only logged.
    void Cancel();
    void UpdateLastTimeAccess();
    /// Lock-free: the garbage collector reads it under the contexts lock while a poll holds m_lock.
    cvn::SystemTimePoint GetLastTimeAccess();
    std::chrono::milliseconds GetWaitDataInterval() const noexcept { return m_waitDataInterval; }
    const GUID& GetId() const noexcept { return m_id; }

    /// How many contexts exist in this process (tests check that none leak).
    static size_t LiveCount() noexcept;

private:
    struct LiveCounter {
        LiveCounter() noexcept;
        ~LiveCounter();
    };
    using SubResponses = std::map<std::string, cvn::QxNodePtr>;

    /// Counts finished sub-request tasks so a poll can sleep until the next one. The tasks share it,
    /// so their last notification is safe whatever order the context's members are destroyed in.
    class CompletionSignal {
    public:
        void Notify()
        {
            {
                std::lock_guard lock(m_mutex);
                ++m_count;
            }
            m_changed.notify_all();
        }
        uint64_t Count()
        {
            std::lock_guard lock(m_mutex);
            return m_count;
        }
        /// Returns when a task finished after Count() answered seen, or after limit.
        void WaitPast(uint64_t seen, std::chrono::milliseconds limit)
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(lock, limit, [&] { return m_count != seen; });
        }

    private:
        std::mutex m_mutex;
        std::condition_variable m_changed;
        uint64_t m_count = 0;
    };

    void ProcessRequest(const cvn::QxNodePtr& query);
    ResultInternalContext MakeContext(const cvn::QxNodePtr& query);
    SubResponses AdjustRetrieveCountersResponse(const cvn::QxNodePtr& response);
    /// Writes the sub-request's result into subResponse if it is there now; true once it is delivered.
    bool Collect(const std::string& name, const cvn::QxNodePtr& subResponse, const ResultInternalContext& context,
                 std::set<std::string>& newCompletions);

    LiveCounter m_liveCounter;
    std::recursive_mutex m_lock;
    std::shared_ptr<CompletionSignal> m_completions = std::make_shared<CompletionSignal>();
    cvn::ComPtr<cvn::IDataRetrieverFactory> m_factory;
    std::atomic<cvn::SystemTimePoint> m_lastAccess;
    std::unordered_map<std::string, ResultInternalContext> m_subRequests;
    std::chrono::milliseconds m_waitDataInterval{0};
    cvn::QxNodePtr m_request;
    cvn::QxNodePtr m_timeRange;
    GUID m_id{};
    std::atomic<bool> m_firstPoll{true};
    std::shared_ptr<const OverviewReportsProcessing::ProductIdRemaper> m_remapper;
    std::set<std::string> m_delivered;
};

}  // namespace Corvane
