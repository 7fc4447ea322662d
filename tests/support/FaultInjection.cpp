// The fault injector's wrappers: a request processor in front of the queries
// processor, and a connection and statement around the workers' own.
#include "tests/support/FaultInjection.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <utility>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "host/reporting/processor/QueriesProcessorRun.h"

namespace cvn::test {

using reporting::IConnection;
using reporting::IStatement;
using reporting::StorageError;
using reporting::StorageErrorKind;

struct FaultInjector::State {
    explicit State(std::chrono::milliseconds limit) : holdLimit(limit) {}

    /// The armed fault when it is one of the kinds and strikes this query now; counts the strike.
    std::optional<Fault> StrikeQuery(std::initializer_list<Fault::Kind> kinds, const std::string& name)
    {
        std::lock_guard guard(lock);
        if (std::find(kinds.begin(), kinds.end(), fault.kind) == kinds.end() || struck > 0 ||
            (!fault.query.empty() && fault.query != name))
            return std::nullopt;
        ++struck;
        return fault;
    }

    /// The fault this statement carries, when it is the one the armed storage fault picks; a statement
    /// is picked once, and the fault counts as struck when it fails.
    std::optional<Fault> PickStatement(std::string_view sql)
    {
        std::lock_guard guard(lock);
        if (fault.kind != Fault::Kind::StorageFailure && fault.kind != Fault::Kind::DropConnection) return std::nullopt;
        if (statementPicked || (!fault.statement.empty() && sql.find(fault.statement) == std::string_view::npos))
            return std::nullopt;
        statementPicked = true;
        return fault;
    }

    void CountStrike()
    {
        std::lock_guard guard(lock);
        ++struck;
    }

    /// Blocks until the test releases what is held, the fault is re-armed or the hold limit passes.
    void Hold()
    {
        std::unique_lock guard(lock);
        const uint64_t armed = generation;
        holding = true;
        changed.notify_all();
        changed.wait_for(guard, holdLimit, [&] { return released || generation != armed; });
        holding = false;
    }

    /// The handle of a query the module sent; the fault's query is remembered by it.
    void NoteAccepted(const std::string& name, const GUID& handle)
    {
        std::lock_guard guard(lock);
        if (!fault.query.empty() && fault.query == name) struckHandle = handle;
    }

    void NoteFreed(const GUID& handle)
    {
        std::lock_guard guard(lock);
        if (struckHandle && *struckHandle == handle) struckFreed = true;
        changed.notify_all();
    }

    void NoteInterruptWhileClosing()
    {
        std::lock_guard guard(lock);
        ++interruptsWhileClosing;
    }

    template <class Predicate>
    bool WaitFor(Predicate&& predicate)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, kWaitLimit, predicate);
    }

    const std::chrono::milliseconds holdLimit;
    std::mutex lock;
    std::condition_variable changed;
    Fault fault;
    uint64_t generation = 0;  ///< each Arm: a hold of an earlier fault ends
    int struck = 0;
    bool statementPicked = false;
    bool holding = false;
    bool released = false;
    std::optional<GUID> struckHandle;
    bool struckFreed = false;
    int interruptsWhileClosing = 0;  ///< never reset: a late one may come after the fault's case
};

namespace {

constexpr const char* kInjected = "injected fault";

/// The code as a failed call returns it: the thread's error object describes it.
HRESULT FailCall(HRESULT code) noexcept
{
    return ReturnCodeFromHrx(reporting::MakeReportingError(code, kInjected));
}

class FaultyQueriesProcessor : public Implements<IRequestProcessor> {
public:
    FaultyQueriesProcessor(ComPtr<IRequestProcessor> next, std::shared_ptr<FaultInjector::State> state)
        : m_next(std::move(next)), m_state(std::move(state))
    {
    }

    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override
    try {
        if (!request || !response) return m_next->ProcessRequest(request, response);
        const QxNodePtr node(request);
        GUID handle{};
        if (!node.GetAttribute("Handle", handle)) {
            if (node.GetType() != "Query") return m_next->ProcessRequest(request, response);
            if (const auto fault = m_state->StrikeQuery({Fault::Kind::FailAccept}, node.GetName()))
                return FailCall(fault->code);
            const HRESULT accepted = m_next->ProcessRequest(request, response);
            GUID issued{};
            if (accepted >= 0 && *response && QxNodePtr(*response).GetAttribute("Handle", issued))
                m_state->NoteAccepted(node.GetName(), issued);
            return accepted;
        }
        if (node.GetAttributeOr<bool>("FreeResult", false)) {
            const HRESULT freed = m_next->ProcessRequest(request, response);
            m_state->NoteFreed(handle);
            return freed;
        }
        const HRESULT polled = m_next->ProcessRequest(request, response);
        if (polled < 0 || !*response) return polled;
        QxNodePtr answer(*response, QxNodePtr::Attach{});
        *response = nullptr;
        // Only the answer that ends the query is touched; "Status" 1 means it still runs.
        if (answer.GetAttributeOr<int32_t>("Status", 1) != 1) {
            const auto fault =
                m_state->StrikeQuery({Fault::Kind::Delay, Fault::Kind::FailResult, Fault::Kind::FailPoll},
                                     node.GetAttributeOr<std::string>("QueryName", ""));
            if (fault && fault->kind == Fault::Kind::Delay) m_state->Hold();
            if (fault && fault->kind == Fault::Kind::FailResult)
                answer = reporting::ErrorAnswer(reporting::MakeReportingError(fault->code, kInjected));
            if (fault && fault->kind == Fault::Kind::FailPoll) return FailCall(fault->code);
        }
        *response = answer.Detach();
        return S_OK;
    }
    CV_CATCH_RETURN()

private:
    const ComPtr<IRequestProcessor> m_next;
    const std::shared_ptr<FaultInjector::State> m_state;
};

class FaultyConnection;

class FaultyStatement final : public IStatement {
public:
    FaultyStatement(std::unique_ptr<IStatement> real, FaultyConnection& connection, std::optional<Fault> fault)
        : m_real(std::move(real)), m_connection(connection), m_fault(std::move(fault))
    {
    }
    void Bind(size_t index, const reporting::SqlValue& value) override { m_real->Bind(index, value); }
    bool Next() override;
    size_t ColumnCount() const override { return m_real->ColumnCount(); }
    std::string ColumnName(size_t column) const override { return m_real->ColumnName(column); }
    reporting::SqlValue Column(size_t column) const override { return m_real->Column(column); }
    void Reset() override
    {
        m_real->Reset();
        m_rows = 0;
    }

private:
    const std::unique_ptr<IStatement> m_real;
    FaultyConnection& m_connection;
    std::optional<Fault> m_fault;
    int64_t m_rows = 0;
};

class FaultyConnection final : public IConnection {
public:
    FaultyConnection(std::unique_ptr<IConnection> real, std::shared_ptr<FaultInjector::State> state)
        : m_real(std::move(real)), m_state(std::move(state))
    {
    }
    ~FaultyConnection() override
    {
        m_closing = true;
        if (m_heldClose) m_state->Hold();
    }

    const reporting::IDialect& Dialect() const override { return m_real->Dialect(); }
    std::unique_ptr<IStatement> Prepare(std::string_view sql) override
    {
        ThrowIfDropped();
        std::unique_ptr<IStatement> real = m_real->Prepare(sql);
        return std::make_unique<FaultyStatement>(std::move(real), *this, m_state->PickStatement(sql));
    }
    void Execute(std::string_view sql) override
    {
        ThrowIfDropped();
        m_real->Execute(sql);
    }
    void Interrupt() noexcept override
    {
        if (m_closing) m_state->NoteInterruptWhileClosing();
        m_real->Interrupt();
    }
    void ClearInterrupt() noexcept override { m_real->ClearInterrupt(); }
    void PrepareForBulkLoad() override { m_real->PrepareForBulkLoad(); }
    void FinishBulkLoad() override { m_real->FinishBulkLoad(); }
    std::unique_ptr<reporting::IBulkWriter> BulkInsert(std::string_view table, const std::vector<std::string>& columns,
                                                       int64_t batchRows) override
    {
        ThrowIfDropped();
        return m_real->BulkInsert(table, columns, batchRows);
    }
    void CreateOwnSchema(const reporting::CountersTableLayout& counters) override { m_real->CreateOwnSchema(counters); }
    void KeepCounters(const reporting::CountersTableLayout& counters,
                      const std::vector<reporting::CountedSelection>& selections,
                      const std::vector<std::pair<std::string, std::string>>& state) override
    {
        m_real->KeepCounters(counters, selections, state);
    }

    /// A statement's fault struck: counted, and for a drop the connection is lost from now on.
    [[noreturn]] void Strike(const Fault& fault)
    {
        m_state->CountStrike();
        if (fault.kind == Fault::Kind::DropConnection) {
            m_dropped = true;
            m_heldClose = fault.holdClose;
            ThrowIfDropped();
        }
        throw StorageError(fault.storageError,
                           std::string(kInjected) + " after " + std::to_string(fault.afterRows) + " rows");
    }
    void ThrowIfDropped() const
    {
        if (m_dropped)
            throw StorageError(StorageErrorKind::Unavailable, std::string(kInjected) + ": the connection was dropped");
    }

private:
    const std::unique_ptr<IConnection> m_real;
    const std::shared_ptr<FaultInjector::State> m_state;
    bool m_dropped = false;  ///< the worker's thread alone reads and sets it
    bool m_heldClose = false;
    std::atomic<bool> m_closing{false};  ///< Interrupt() comes from other threads
};

bool FaultyStatement::Next()
{
    m_connection.ThrowIfDropped();
    if (m_fault && m_rows == m_fault->afterRows) {
        const Fault fault = *std::exchange(m_fault, std::nullopt);
        m_connection.Strike(fault);
    }
    const bool row = m_real->Next();
    if (row) ++m_rows;
    return row;
}

}  // namespace

FaultInjector::FaultInjector(std::chrono::milliseconds holdLimit) : m_state(std::make_shared<State>(holdLimit)) {}

FaultInjector::~FaultInjector()
{
    Arm(Fault{});
}

void FaultInjector::Arm(const Fault& fault)
{
    std::lock_guard guard(m_state->lock);
    m_state->fault = fault;
    ++m_state->generation;
    m_state->struck = 0;
    m_state->statementPicked = false;
    m_state->released = false;
    m_state->struckHandle.reset();
    m_state->struckFreed = false;
    m_state->changed.notify_all();
}

int FaultInjector::Struck() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->struck;
}

bool FaultInjector::WaitUntilHeld() const
{
    return m_state->WaitFor([&] { return m_state->holding; });
}

bool FaultInjector::WaitUntilQueryFreed() const
{
    return m_state->WaitFor([&] { return m_state->struckFreed; });
}

int FaultInjector::InterruptsWhileClosing() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->interruptsWhileClosing;
}

void FaultInjector::Release()
{
    std::lock_guard guard(m_state->lock);
    m_state->released = true;
    m_state->changed.notify_all();
}

void FaultInjector::InstallInFront(host::CServiceClient& client, const std::string& uri)
{
    ComPtr<IRequestProcessor> real;
    ThrowIfFailed(client.CreateProxy(ToUtf16(uri).c_str(), 0, &IRequestProcessor::kIid, real.PutVoid()));
    const auto wrapper = CreateComponent<FaultyQueriesProcessor>(real, m_state);
    client.UnregisterService(uri);
    client.RegisterService(uri, static_cast<IRequestProcessor*>(wrapper.Get()));
}

reporting::ConnectionWrapper FaultInjector::WrapConnections() const
{
    return [state = m_state](std::unique_ptr<IConnection> connection) -> std::unique_ptr<IConnection> {
        return std::make_unique<FaultyConnection>(std::move(connection), state);
    };
}

size_t ThreadCount()
{
    std::error_code error;
    size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

}  // namespace cvn::test
