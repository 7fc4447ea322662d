// The queries processor's exchange: accepting queries, answering polls,
// freeing and expiring handles, shutting down.
#include "host/reporting/processor/QueriesProcessor.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "common/Logging/Log.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "host/reporting/processor/QueriesProcessorRun.h"
#include "platform/os/Uuid.h"

namespace cvn::reporting {

namespace {

constexpr const char* kHandleAttribute = "Handle";

[[noreturn]] void ThrowUnknownHandle(const GUID& handle)
{
    ThrowHrWithDescription(kHrNotFound, "Unknown query handle " + GuidToText(handle) +
                                            ": it was never issued, was freed, or its result expired");
}

}  // namespace

CQueriesProcessor::CQueriesProcessor(QueriesProcessorOptions options, TranslateFunction translate,
                                     ConnectFunction connect)
    : m_options(std::move(options)), m_translate(std::move(translate)), m_connect(std::move(connect))
{
    ThrowIf(!m_translate || !m_connect, E_INVALIDARG, "the queries processor needs a translator and a connector");
    ScopeExit stopStarted([this] { Shutdown(); });
    for (int32_t i = 0; i < m_options.workers; ++i) m_workers.emplace_back([this] { WorkerLoop(); });
    m_watchdog = std::thread([this] { WatchdogLoop(); });
    stopStarted.Dismiss();
}

CQueriesProcessor::~CQueriesProcessor()
{
    Shutdown();
}

HRESULT CQueriesProcessor::ProcessRequest(IQxNode* request, IQxNode** response) noexcept
try {
    if (!request || !response) return E_POINTER;
    *response = nullptr;
    const QxNodePtr node(request);
    GUID handle{};
    QxNodePtr answer;
    if (node.GetAttribute(kHandleAttribute, handle)) {
        answer = node.GetAttributeOr<bool>("FreeResult", false) ? Free(handle) : Poll(handle);
    } else if (node.GetType() == "Query") {
        answer = Accept(node);
    } else {
        ThrowHrWithDescription(E_INVALIDARG,
                               "The queries processor takes a node of type 'Query' or a handle "
                               "node with a GUID 'Handle'; it got '" +
                                   node.GetName() + "' of type '" + node.GetType() + "'");
    }
    *response = answer.Detach();
    return S_OK;
}
CV_CATCH_RETURN()

QxNodePtr CQueriesProcessor::Accept(const QxNodePtr& query)
{
    auto entry = std::make_shared<Entry>();
    entry->handle = os::NewUuid();
    entry->name = query.GetName();
    entry->query = query.Clone();

    const QxNodePtr handle = QxNodePtr::Create("QueryHandle", "QueryHandle");
    handle.SetAttribute(kHandleAttribute, entry->handle);
    handle.SetAttribute("QueryName", entry->name);

    bool refused = false;
    {
        std::lock_guard lock(m_lock);
        if (m_stopping) ThrowReportingError(kHrDatabaseUnavailable, "the queries processor is shut down");
        const SteadyTimePoint now = SteadyNow();
        ExpireLocked();
        ExpireQueueLocked(now);
        if (m_active >= int64_t{m_options.workers} + m_options.maxQueuedQueries) {
            // Refused in its own answer, so that only this sub-request fails (and the module tolerates it).
            refused = true;
            entry->state = State::Finished;
            entry->answer = ErrorAnswer(MakeReportingError(
                kHrDatabaseBusy, "every worker is busy and the queue is full (Workers " +
                                     std::to_string(m_options.workers) + ", MaxQueuedQueries " +
                                     std::to_string(m_options.maxQueuedQueries) + ")"));
            entry->query = nullptr;
        } else {
            ++m_active;
            entry->queuedAt = now;
            m_queue.push_back(entry);
            if (!m_idleWorkers.empty()) {
                m_idleWorkers.back()->notify_one();
                m_idleWorkers.pop_back();
            }
        }
        entry->lastTouch = now;
        m_entries.emplace(entry->handle, entry);
    }
    if (refused) {
        CV_LOG(Warn, "Query '" << entry->name << "' " << entry->handle << " refused: the queue is full (MaxQueuedQueries "
                               << m_options.maxQueuedQueries << ")");
    } else {
        CV_LOG(Dbg, "Query '" << entry->name << "' accepted as " << entry->handle);
    }
    return handle;
}

QxNodePtr CQueriesProcessor::Poll(const GUID& handle)
{
    QxNodePtr result;
    State state = State::Queued;
    {
        std::unique_lock lock(m_lock);
        ExpireLocked();
        const auto found = m_entries.find(handle);
        const SteadyTimePoint now = SteadyNow();
        if (found == m_entries.end() || ExpireIfStaleLocked(found, now)) ThrowUnknownHandle(handle);
        ExpireQueueLocked(now);
        const EntryPtr entry = found->second;
        entry->lastTouch = now;
        // The caller sleeps between polls: a query that finishes meanwhile would wait for the next
        // one. Holding the poll open for a short while hands the result over the moment it is there.
        if (entry->state != State::Finished && m_options.pollWaitMs > 0) {
            ++m_waitingPolls;
            entry->done.wait_for(lock, std::chrono::milliseconds(m_options.pollWaitMs),
                                [&] { return entry->state == State::Finished || entry->cancelled || m_stopping; });
            --m_waitingPolls;
        }
        if (entry->cancelled) ThrowUnknownHandle(handle);
        state = entry->state;
        if (state == State::Finished) result = entry->answer;  // a second handle; the tree is read only
    }
    if (state != State::Finished) {
        const QxNodePtr running = QxNodePtr::Create("QueryStatus", "QueryStatus");
        running.SetAttribute("Status", int32_t{1});
        running.SetAttribute("State", state == State::Queued ? "Queued" : "Running");
        return running;
    }
    // Each poll gets its own copy: the caller renames and rewrites what it receives.
    return result.Clone();
}

QxNodePtr CQueriesProcessor::Free(const GUID& handle)
{
    {
        std::lock_guard lock(m_lock);
        const auto found = m_entries.find(handle);
        if (found == m_entries.end()) ThrowUnknownHandle(handle);
        const EntryPtr entry = found->second;
        m_entries.erase(found);
        CancelLocked(*entry);
        ExpireLocked();
    }
    CV_LOG(Dbg, "Query " << handle << " freed");
    const QxNodePtr freed = QxNodePtr::Create("QueryFreed", "QueryHandle");
    freed.SetAttribute(kHandleAttribute, handle);
    freed.SetAttribute("Status", int32_t{0});
    return freed;
}

void CQueriesProcessor::CancelLocked(Entry& entry)
{
    entry.cancelled = true;
    entry.answer = nullptr;
    entry.done.notify_all();
    if (entry.state == State::Queued) {
        for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
            if (it->get() == &entry) {
                m_queue.erase(it);
                --m_active;
                break;
            }
        }
    } else if (entry.state == State::Running && entry.connection) {
        entry.connection->Interrupt();
    }
}

void CQueriesProcessor::ExpireQueueLocked(SteadyTimePoint now)
{
    const auto wait = std::chrono::milliseconds(m_options.queueWaitMs);
    while (!m_queue.empty() && now - m_queue.front()->queuedAt >= wait) {
        const EntryPtr entry = std::move(m_queue.front());
        m_queue.pop_front();
        --m_active;
        entry->query = nullptr;
        entry->state = State::Finished;
        entry->answer = ErrorAnswer(MakeReportingError(
            kHrDatabaseBusy, "the query waited " + std::to_string(m_options.queueWaitMs) +
                                 " ms for a worker (QueueWaitMs); " + std::to_string(m_queue.size()) +
                                 " queries are still waiting"));
        entry->done.notify_all();
        CV_LOG(Warn, "Query '" << entry->name << "' " << entry->handle << " answered busy: it waited "
                               << m_options.queueWaitMs << " ms for a worker");
    }
}

void CQueriesProcessor::ExpireLocked()
{
    // Every call would read every entry; a module polling hundreds of handles makes that quadratic.
    const SteadyTimePoint now = SteadyNow();
    const auto ttl = std::chrono::milliseconds(m_options.resultTtlMs);
    if (m_lastSweep && now >= *m_lastSweep && now - *m_lastSweep < ttl / 8) return;
    m_lastSweep = now;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const auto next = std::next(it);
        ExpireIfStaleLocked(it, now);
        it = next;
    }
}

bool CQueriesProcessor::ExpireIfStaleLocked(std::map<GUID, EntryPtr>::iterator found, SteadyTimePoint now)
{
    Entry& entry = *found->second;
    if (now - entry.lastTouch < std::chrono::milliseconds(m_options.resultTtlMs)) return false;
    CV_LOG(Info, "Query '" << entry.name << "' " << entry.handle << " expired: not polled for "
                           << m_options.resultTtlMs << " ms");
    CancelLocked(entry);
    m_entries.erase(found);
    return true;
}

size_t CQueriesProcessor::HeldQueries() const
{
    std::lock_guard lock(m_lock);
    return m_entries.size();
}

size_t CQueriesProcessor::QueuedQueries() const
{
    std::lock_guard lock(m_lock);
    return m_queue.size();
}

size_t CQueriesProcessor::WaitingPolls() const
{
    std::lock_guard lock(m_lock);
    return m_waitingPolls;
}

HRESULT CQueriesProcessor::Shutdown() noexcept
{
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        for (auto& [handle, entry] : m_entries) CancelLocked(*entry);
        m_entries.clear();
        m_queue.clear();
        for (std::condition_variable* idle : m_idleWorkers) idle->notify_one();
        m_idleWorkers.clear();
    }
    m_watchdogWake.notify_all();
    for (std::thread& worker : m_workers)
        if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
    if (m_watchdog.joinable() && m_watchdog.get_id() != std::this_thread::get_id()) m_watchdog.join();
    return S_OK;
}

}  // namespace cvn::reporting
