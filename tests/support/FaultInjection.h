// Faults put between the module and the reporting database, for tests that
// check what the module answers and what it leaves behind when one query goes
// wrong. Two places: in front of the queries processor service (its answers
// held back, replaced by failures, or its calls failing) and around each
// connection its workers open (a statement failing with a storage error, or
// the connection dropped in the middle of a query). One fault is armed at a
// time and strikes once.
// Thread safety: every member may be called from any thread; the wrappers run
// on the module's and the workers' threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "corvane/Platform.h"
#include "host/reporting/processor/QueriesProcessor.h"
#include "host/services/ServiceClient.h"
#include "tests/support/TestBasics.h"

namespace cvn::test {

struct Fault {
    enum class Kind {
        None,
        /// The query's result is held back until Release() (or the injector's hold limit).
        Delay,
        /// The query's result is replaced by a failure with code ("Status" 2), as a worker reports one.
        FailResult,
        /// The poll that brings the query's result fails with code instead (the call itself).
        FailPoll,
        /// Sending the query fails with code; it never reaches the processor.
        FailAccept,
        /// The statement fails with storageError once afterRows rows were stepped.
        StorageFailure,
        /// The connection drops once afterRows rows of the statement were stepped: that step and every
        /// later statement on the connection fail Unavailable until the worker opens a new one.
        DropConnection,
    };
    Kind kind = Kind::None;
    HRESULT code = S_OK;
    reporting::StorageErrorKind storageError = reporting::StorageErrorKind::Other;
    int64_t afterRows = 0;
    /// The query struck by the processor kinds, by its name (the module names a query after its
    /// sub-request); empty: the first query. The storage kinds strike statements, but name the query
    /// too, so that its free can be waited for.
    std::string query;
    /// The statement struck by the storage kinds: the first whose SQL holds this text; empty: the first.
    std::string statement;
    /// DropConnection: closing the dropped connection takes until Release() (or the hold limit), as a
    /// connection to a server that went away may.
    bool holdClose = false;
};

class FaultInjector {
public:
    /// A held result goes on by itself after holdLimit, so a broken test never hangs.
    explicit FaultInjector(std::chrono::milliseconds holdLimit = kWaitLimit);
    /// Releases a held result; the wrappers stay usable and inject nothing.
    ~FaultInjector();
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    /// Replaces the armed fault (Kind::None: none); a result held for the previous one goes on.
    void Arm(const Fault& fault);
    /// How often the armed fault struck: 1 once it did (a fault strikes once).
    int Struck() const;

    /// Whether a result (or a connection's close) is held back now; waits for it up to kWaitLimit.
    bool WaitUntilHeld() const;
    /// Whether the queries processor has freed the query the fault names; waits for it up to kWaitLimit.
    bool WaitUntilQueryFreed() const;
    /// Lets what is held go on.
    void Release();
    /// Interrupts that reached a connection while it was being closed, since the injector was made:
    /// the caller still held it after handing it over to be closed.
    int InterruptsWhileClosing() const;

    /// Takes the queries processor registered under uri off the client and registers a wrapper of it
    /// there instead. Throws HRX as the client does.
    void InstallInFront(host::CServiceClient& client, const std::string& uri);
    /// For HostOptions::queriesConnection: wraps each connection the queries processor's workers open.
    reporting::ConnectionWrapper WrapConnections() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

/// The threads of this process now (/proc/self/task).
size_t ThreadCount();

}  // namespace cvn::test
