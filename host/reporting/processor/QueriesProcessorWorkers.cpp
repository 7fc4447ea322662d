// The queries processor's threads: workers that run queued queries, each on a
// connection of its own, and the watchdog that interrupts queries past their
// time limit, answers busy those that waited too long for a worker and
// expires results nobody polls.
#include <algorithm>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Logging/Log.h"
#include "host/reporting/processor/QueriesProcessor.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "host/reporting/processor/QueriesProcessorRun.h"

namespace cvn::reporting {

namespace {

// How often the watchdog looks for expired results when no deadline is nearer.
constexpr auto kExpirySweep = std::chrono::seconds(1);

}  // namespace

void CQueriesProcessor::WorkerLoop()
{
    std::unique_ptr<IConnection> connection;
    std::condition_variable wake;  // notified under m_lock, so it outlives every notification
    for (;;) {
        EntryPtr entry;
        {
            std::unique_lock lock(m_lock);
            for (;;) {
                // A query that waited its time out is answered busy, not started late.
                if (!m_stopping) ExpireQueueLocked(SteadyNow());
                if (m_stopping || !m_queue.empty()) break;
                m_idleWorkers.push_back(&wake);
                wake.wait(lock);
                // Woken without being taken off the list (spuriously): off it until waiting again.
                m_idleWorkers.erase(std::remove(m_idleWorkers.begin(), m_idleWorkers.end(), &wake), m_idleWorkers.end());
            }
            if (m_stopping) return;
            entry = std::move(m_queue.front());
            m_queue.pop_front();
            entry->state = State::Running;
        }
        QxNodePtr answer;
        try {
            answer = RunEntry(entry, connection);
        } catch (const HRX& error) {
            CV_LOG(Warn, "Query '" << entry->name << "' " << entry->handle << " failed: " << error);
            answer = ErrorAnswer(error);
        } catch (...) {
            answer = ErrorAnswer(MakeReportingError(E_UNEXPECTED, "the query failed unexpectedly"));
        }
        {
            std::lock_guard lock(m_lock);
            entry->connection = nullptr;
            m_running.erase(std::remove(m_running.begin(), m_running.end(), entry), m_running.end());
            --m_active;
            entry->query = nullptr;
            entry->state = State::Finished;
            if (!entry->cancelled) entry->answer = std::move(answer);
            entry->done.notify_all();
        }
    }
}

QxNodePtr CQueriesProcessor::RunEntry(const EntryPtr& running, std::unique_ptr<IConnection>& connection)
{
    Entry& entry = *running;
    const auto started = std::chrono::steady_clock::now();
    try {
        if (!connection) connection = m_connect();
        // Before the lock: it may wait for a cancel request of the previous query to land. Nothing
        // can interrupt this query until it is listed as running below.
        connection->ClearInterrupt();
        {
            std::lock_guard lock(m_lock);
            if (entry.cancelled) return nullptr;
            entry.connection = connection.get();
            entry.deadline = started + std::chrono::milliseconds(m_options.queryTimeLimitMs);
            m_running.push_back(running);
        }
        m_watchdogWake.notify_one();
        Transaction snapshot(*connection, connection->Dialect().BeginSnapshotTransaction());
        const TranslatedQuery translated = m_translate(entry.query, *connection);
        QxNodePtr answer = RunTranslatedQuery(*connection, translated, m_options.maxRows);
        snapshot.Commit();
        CV_LOG(Dbg, "Query '" << entry.name << "' " << entry.handle << " answered "
                              << answer.GetRequiredAttribute<int64_t>("RowCount") << " rows in "
                              << std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started)
                                     .count()
                              << " ms");
        return answer;
    } catch (const StorageError& error) {
        bool timedOut = false;
        bool cancelled = false;
        const bool lost = error.Kind() == StorageErrorKind::Unavailable;
        {
            std::lock_guard lock(m_lock);
            timedOut = entry.timedOut;
            cancelled = entry.cancelled;
            // A free or the watchdog interrupts the entry's connection until it is unlisted: not once it is closed.
            if (lost) entry.connection = nullptr;
        }
        if (lost) connection.reset();  // reopen for the next query
        if (cancelled) return nullptr;
        // The watchdog's interrupt, or the database's own statement timeout set to the same limit.
        if ((error.Kind() == StorageErrorKind::Interrupted && timedOut) || error.Kind() == StorageErrorKind::TimedOut)
            ThrowReportingError(kHrQueryTimeLimit, "it ran longer than " + std::to_string(m_options.queryTimeLimitMs) +
                                                       " ms (QueryTimeLimitMs)");
        throw MakeStorageHrx(error);
    }
}

void CQueriesProcessor::WatchdogLoop()
{
    std::unique_lock lock(m_lock);
    while (!m_stopping) {
        const auto now = std::chrono::steady_clock::now();
        auto wakeAt = now + kExpirySweep;
        for (const EntryPtr& entry : m_running) {
            if (entry->timedOut || !entry->connection) continue;
            if (entry->deadline <= now) {
                entry->timedOut = true;
                entry->connection->Interrupt();
                CV_LOG(Warn, "Query '" << entry->name << "' " << entry->handle << " interrupted: it ran longer than "
                                       << m_options.queryTimeLimitMs << " ms");
            } else {
                wakeAt = std::min(wakeAt, entry->deadline);
            }
        }
        ExpireLocked();
        // Polls answer a waiting query busy as soon as its time is out; this catches the unpolled ones
        // within a sweep. No wake-up is aimed at the queue's deadline: it is on the injectable clock.
        ExpireQueueLocked(SteadyNow());
        m_watchdogWake.wait_until(lock, wakeAt);
    }
}

}  // namespace cvn::reporting
