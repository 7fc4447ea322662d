// The queries processor service: takes a "Query" node, answers a "QueryHandle"
// node at once and runs the query on a bounded pool of workers, queueing it
// (boundedly, for a bounded time) while every worker is busy; polls of the
// handle answer "Status" 1 until the result (or its error) is there, a poll
// with "FreeResult" drops it. docs/reporting-database.md describes the exchange.
// Thread safety: ProcessRequest may be called from any thread at once; one
// lock guards the handle table, held only for bookkeeping, never while a query
// runs or a result is copied.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/Helpers/Clock.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Components.h"
#include "host/reporting/processor/QueriesProcessorConfig.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// Turns a "Query" node into a statement; throws HRX. Called on worker threads, several at once, inside
/// a snapshot transaction on the connection the statement then runs on, so what it reads there (the
/// counters' coverage) is what the statement sees.
using TranslateFunction = std::function<TranslatedQuery(const QxNodePtr& query, IConnection& connection)>;
/// Opens one connection for one worker; throws StorageError.
using ConnectFunction = std::function<std::unique_ptr<IConnection>()>;
/// Takes a connection just opened for a worker and returns the one the worker uses: a connection of
/// another make in front of it (empty: the worker uses it as opened).
using ConnectionWrapper = std::function<std::unique_ptr<IConnection>(std::unique_ptr<IConnection>)>;

class CQueriesProcessor : public Implements<IRequestProcessor, IComponentWithShutdown> {
public:
    /// Starts the workers and the watchdog. Connections are opened by the workers when needed, so an
    /// unavailable database fails queries (0x80040C0A), not construction.
    CQueriesProcessor(QueriesProcessorOptions options, TranslateFunction translate, ConnectFunction connect);
    /// Shutdown().
    ~CQueriesProcessor();

    /// A node of type "Query": a new handle node ("QueryHandle" with GUID "Handle"). A node with a GUID
    /// "Handle": the query's state ("Status" 1 while queued or running) or its result; with boolean
    /// "FreeResult" true the query is dropped (and interrupted when running, taken off the queue when
    /// waiting). Unknown, freed or expired handle: 0x80070490; neither a query nor a handle:
    /// E_INVALIDARG; after Shutdown a query is refused with 0x80040C0A. Failures of a query itself are
    /// answered in its result ("Error_Result"), so is 0x80040C0B for a query that found the queue full or
    /// waited QueueWaitMs for a worker.
    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override;

    /// Interrupts running queries, drops every handle, stops and joins the threads. Idempotent.
    HRESULT Shutdown() noexcept override;

    /// Handles held (queued, running or finished and not freed); for tests and diagnostics.
    size_t HeldQueries() const;
    /// Queries waiting for a worker; for tests and diagnostics.
    size_t QueuedQueries() const;
    /// Polls held open for an unfinished query (PollWaitMs); for tests and diagnostics.
    size_t WaitingPolls() const;

private:
    enum class State { Queued, Running, Finished };
    struct Entry {
        GUID handle{};
        std::string name;
        QxNodePtr query;  ///< a copy owned by the processor
        State state = State::Queued;
        bool cancelled = false;                          ///< freed, expired or shut down: the worker drops its outcome
        bool timedOut = false;                           ///< interrupted by the watchdog
        IConnection* connection = nullptr;               ///< set while running
        std::chrono::steady_clock::time_point deadline;  ///< real time: the watchdog sleeps on it
        SteadyTimePoint lastTouch;                       ///< injectable clock: result expiry
        SteadyTimePoint queuedAt;                        ///< injectable clock: the wait for a worker
        QxNodePtr answer;                                ///< when finished
        /// Finished, dropped or shut down: wakes the polls held open on this query alone (with m_lock).
        std::condition_variable done;
    };
    using EntryPtr = std::shared_ptr<Entry>;

    QxNodePtr Accept(const QxNodePtr& query);
    QxNodePtr Poll(const GUID& handle);
    QxNodePtr Free(const GUID& handle);
    /// Drops entries not touched for resultTtl (by the injectable clock), reading the whole table at
    /// most every eighth of resultTtl; a polled entry is checked on its own. Caller holds m_lock.
    void ExpireLocked();
    /// Whether the entry was not touched for resultTtl; if so it is dropped. Caller holds m_lock.
    bool ExpireIfStaleLocked(std::map<GUID, EntryPtr>::iterator found, SteadyTimePoint now);
    /// Answers busy the queries that waited queueWaitMs for a worker: the queue's oldest, as all wait
    /// alike. Caller holds m_lock.
    void ExpireQueueLocked(SteadyTimePoint now);
    /// Marks the entry dropped, takes it off the queue or interrupts it when running. Caller holds m_lock.
    void CancelLocked(Entry& entry);

    void WorkerLoop();
    /// Runs one query; its answer, or null when it was dropped meanwhile. Throws HRX.
    QxNodePtr RunEntry(const EntryPtr& entry, std::unique_ptr<IConnection>& connection);
    void WatchdogLoop();

    const QueriesProcessorOptions m_options;
    const TranslateFunction m_translate;
    const ConnectFunction m_connect;

    mutable std::mutex m_lock;
    /// Idle workers, the last to finish on top: the next query goes to the worker whose connection and
    /// caches are warmest, so one after another they run on one thread.
    std::vector<std::condition_variable*> m_idleWorkers;
    std::condition_variable m_watchdogWake;
    size_t m_waitingPolls = 0;
    std::map<GUID, EntryPtr> m_entries;
    std::deque<EntryPtr> m_queue;  ///< oldest first; cancelled entries leave it at once
    std::vector<EntryPtr> m_running;
    /// Queued and running entries. Running ones never outnumber the workers, so capping this at workers +
    /// maxQueuedQueries lets maxQueuedQueries wait once every worker is busy.
    int64_t m_active = 0;
    std::optional<SteadyTimePoint> m_lastSweep;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
    std::thread m_watchdog;
};

}  // namespace cvn::reporting
