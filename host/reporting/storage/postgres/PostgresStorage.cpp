// The reporting storage on PostgreSQL through libpq. Prepare checks and
// describes a statement as the server's unnamed statement; every run sends the
// text with its values in one round trip (the values always as parameters),
// so nothing stays prepared on the server and each run is planned for its
// values. Rows arrive one at a time (single-row mode), so a large result is
// never held whole. An interrupt is a sticky flag plus a cancel request sent
// from a thread of its own, since a cancel request blocks until the server
// has taken it.
#include "host/reporting/storage/postgres/PostgresStorage.h"

#include <libpq-fe.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace cvn::reporting {

namespace {

// Type oids from pg_type; fixed since the first releases.
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kNumericOid = 1700;

// The key of the advisory lock every writer of the counters takes first ("corvane" in ASCII).
constexpr const char* kWriterLockKey = "27992540862357093";

// How often a cancel request is repeated while its command still runs: a request that reaches the
// server just before the command does is dropped there.
constexpr int kCancelAttempts = 5;
constexpr auto kCancelRetry = std::chrono::milliseconds(100);

std::string OneLine(const char* text)
{
    std::string line;
    for (const char* c = text ? text : ""; *c; ++c) {
        const bool space = *c == '\n' || *c == '\r' || *c == '\t';
        if (space && (line.empty() || line.back() == ' ')) continue;
        line += space ? ' ' : *c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string Clip(std::string_view sql)
{
    constexpr size_t kShown = 200;
    std::string text(sql.substr(0, kShown));
    if (sql.size() > kShown) text += "...";
    return text;
}

// The kind of a failure by its SQLSTATE; 57014 (canceled) is told apart by the caller.
StorageErrorKind KindOfState(std::string_view state)
{
    if (state.size() != 5) return StorageErrorKind::Other;
    const std::string_view group = state.substr(0, 2);
    // Connection lost or refused, authentication, no such database, server shutting down, system errors.
    if (group == "08" || group == "28" || group == "58" || state == "3D000" || state == "57P01" || state == "57P02" ||
        state == "57P03")
        return StorageErrorKind::Unavailable;
    // Out of connections or other resources, a lock not granted in time, conflicts of concurrent writers.
    if (group == "53" || state == "55P03" || state == "40001" || state == "40P01") return StorageErrorKind::Busy;
    // Syntax, names, access rules, values, unsupported features, cardinality.
    if (group == "42" || group == "22" || group == "0A" || group == "21" || group == "2F") return StorageErrorKind::Invalid;
    return StorageErrorKind::Other;
}

// The backend's failures at connecting carry no SQLSTATE: a full server says so in words.
StorageErrorKind KindOfConnectFailure(const std::string& message)
{
    if (message.find("too many clients") != std::string::npos ||
        message.find("remaining connection slots are reserved") != std::string::npos)
        return StorageErrorKind::Busy;
    return StorageErrorKind::Unavailable;
}

class PostgresDialect final : public IDialect {
public:
    std::string QuoteIdentifier(std::string_view name) const override
    {
        std::string quoted = "\"";
        for (const char c : name) {
            if (c == '\0') continue;  // cannot be part of a name; never built from values anyway
            quoted += c;
            if (c == '"') quoted += '"';
        }
        quoted += '"';
        return quoted;
    }

    std::string Placeholder(size_t index) const override { return "$" + std::to_string(index); }

    std::string LimitClause(int64_t limit, int64_t offset) const override
    {
        std::string clause = limit < 0 ? "LIMIT ALL" : "LIMIT " + std::to_string(limit);
        if (offset > 0) clause += " OFFSET " + std::to_string(offset);
        return clause;
    }

    std::string TruncateTime(std::string_view column, int64_t offsetSeconds, std::string_view part) const override
    {
        // Integer division truncates towards zero as SQLite's does, so both backends bucket alike.
        const std::string shifted = "(" + std::string(column) + " + " + std::to_string(offsetSeconds) + ")";
        const auto whole = [&](int64_t seconds) {
            return "(" + shifted + " / " + std::to_string(seconds) + " * " + std::to_string(seconds) + ")";
        };
        const auto calendar = [&](const char* unit) {
            return std::string("CAST(EXTRACT(EPOCH FROM date_trunc('") + unit + "', to_timestamp(" + shifted +
                   ") AT TIME ZONE 'UTC')) AS BIGINT)";
        };
        if (part == "second") return shifted;
        if (part == "minute") return whole(60);
        if (part == "hour") return whole(3600);
        if (part == "day") return whole(86400);
        if (part == "month") return calendar("month");
        if (part == "year") return calendar("year");
        throw StorageError(StorageErrorKind::Invalid, "unknown time part '" + std::string(part) + "'");
    }

    std::string IntegerType() const override { return "BIGINT"; }
    std::string TextType() const override { return "TEXT"; }
    std::string GeneratedKeyColumn() const override { return "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"; }

    std::string CreateViewIfAbsent(std::string_view view, std::string_view select) const override
    {
        // No CREATE VIEW IF NOT EXISTS here; a view made meanwhile by another host is left as well.
        const auto literal = [](std::string_view text) {
            std::string quoted = "'";
            for (const char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
            return quoted + "'";
        };
        const std::string create = "CREATE VIEW " + QuoteIdentifier(view) + " AS " + std::string(select);
        return "DO $corvane$ BEGIN IF to_regclass(" + literal(QuoteIdentifier(view)) + ") IS NULL THEN EXECUTE " +
               literal(create) + "; END IF; EXCEPTION WHEN duplicate_table THEN NULL; END $corvane$";
    }

    std::string UpsertStatement(std::string_view table, const std::vector<std::string>& keys,
                                const std::vector<std::string>& values) const override
    {
        std::string columns;
        std::string placeholders;
        std::string conflict;
        std::string update;
        size_t index = 0;
        for (const auto* list : {&keys, &values}) {
            for (const std::string& column : *list) {
                const char* comma = index++ ? ", " : "";
                columns += comma + QuoteIdentifier(column);
                placeholders += comma + Placeholder(index);
            }
        }
        for (const std::string& key : keys) conflict += (conflict.empty() ? "" : ", ") + QuoteIdentifier(key);
        for (const std::string& value : values)
            update += (update.empty() ? "" : ", ") + QuoteIdentifier(value) + " = EXCLUDED." + QuoteIdentifier(value);
        return "INSERT INTO " + QuoteIdentifier(table) + " (" + columns + ") VALUES (" + placeholders +
               ") ON CONFLICT (" + conflict + ") " + (update.empty() ? "DO NOTHING" : "DO UPDATE SET " + update);
    }

    // Readers never wait for it; a second writer waits for the first to commit.
    std::string BeginWriteTransaction() const override
    {
        return std::string("BEGIN; SELECT pg_advisory_xact_lock(") + kWriterLockKey + ")";
    }
    std::string BeginSnapshotTransaction() const override { return "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"; }
    // No hints: the planner chooses by its statistics.
    std::string KeyOnlyAccessHint() const override { return ""; }
    bool CountsInDatabase() const override { return true; }
};

const IDialect& Dialect() noexcept
{
    static const PostgresDialect dialect;
    return dialect;
}

/// Why libpq cannot use the text, or why we will not: a password in it would reach logs and messages.
std::string ConnectionProblem(const std::string& text)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (!options) {
        const std::string message = OneLine(error ? error : "out of memory");
        PQfreemem(error);
        return "the PostgreSQL connection text is not valid: " + message;
    }
    bool password = false;
    for (const PQconninfoOption* option = options; option->keyword; ++option)
        if (std::string_view(option->keyword) == "password" && option->val && *option->val) password = true;
    PQconninfoFree(options);
    if (password)
        return "the PostgreSQL connection text holds a password, and that text is logged: give the password in a "
               "pgpass file (passfile=... or PGPASSFILE) or in PGPASSWORD instead";
    return {};
}

/// Opens a connection to the server the text names; null with the failure in the connection object.
PGconn* Connect(const std::string& text)
{
    // Later entries win over the text's own; the text's connect_timeout wins over the default.
    const char* keys[] = {"connect_timeout", "dbname", "fallback_application_name", "client_encoding", nullptr};
    const char* values[] = {"10", text.c_str(), "corvane", "UTF8", nullptr};
    return PQconnectdbParams(keys, values, 1);
}

/// What a connection shares with the threads that send its cancel requests, which may outlive it.
struct CancelState {
    std::mutex lock;
    std::condition_variable changed;
    PGcancel* cancel = nullptr;
    bool inFlight = false;   ///< a command was sent and its results are not all read
    uint64_t command = 0;    ///< the number of the latest command
    int cancelling = 0;      ///< cancel threads still running

    // A cancel request makes the server start a process (several milliseconds here); after the first,
    // cancels go as pg_cancel_backend over a connection of their own, one round trip.
    std::mutex controlLock;
    std::string text;        ///< the connection text, for the control connection
    std::string backendPid;  ///< of the connection the cancels are for
    PGconn* control = nullptr;

    ~CancelState()
    {
        PQfreeCancel(cancel);
        PQfinish(control);
    }
};

bool CancelOverControl(CancelState& state)
{
    std::lock_guard lock(state.controlLock);
    if (!state.control || PQstatus(state.control) != CONNECTION_OK) return false;
    const char* values[] = {state.backendPid.c_str()};
    PGresult* result =
        PQexecParams(state.control, "SELECT pg_cancel_backend($1::int)", 1, nullptr, values, nullptr, nullptr, 0);
    const bool sent = PQresultStatus(result) == PGRES_TUPLES_OK;
    PQclear(result);
    return sent;
}

void OpenControl(CancelState& state)
{
    std::lock_guard lock(state.controlLock);
    if (state.control && PQstatus(state.control) == CONNECTION_OK) return;
    PQfinish(state.control);
    state.control = Connect(state.text);
    if (PQstatus(state.control) != CONNECTION_OK) {
        PQfinish(state.control);
        state.control = nullptr;
    } else {
        PQsetNoticeProcessor(state.control, [](void*, const char*) {}, nullptr);
    }
}

void CancelCommand(const std::shared_ptr<CancelState>& state, uint64_t command) noexcept
{
    bool overControl = false;
    for (int attempt = 0; attempt < kCancelAttempts; ++attempt) {
        if (CancelOverControl(*state)) {
            overControl = true;
        } else {
            char error[256];
            PQcancel(state->cancel, error, sizeof error);
        }
        std::unique_lock lock(state->lock);
        if (state->changed.wait_for(lock, kCancelRetry,
                                    [&] { return !state->inFlight || state->command != command; }))
            break;
    }
    {
        std::lock_guard lock(state->lock);
        --state->cancelling;
        state->changed.notify_all();
    }
    if (!overControl) OpenControl(*state);  // for the next cancel, after this one has landed
}

struct ResultDeleter {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresStatement;

class PostgresConnection final : public IConnection {
public:
    PostgresConnection(const std::string& text, const StorageOpenOptions& options)
        : m_statementTimeoutMs(std::max<int64_t>(options.statementTimeoutMs, 0))
    {
        RefusePassword(text);
        m_conn = Connect(text);
        if (!m_conn) throw StorageError(StorageErrorKind::Unavailable, "cannot connect to PostgreSQL: out of memory");
        m_where = Where();
        if (PQstatus(m_conn) != CONNECTION_OK) {
            const std::string message = OneLine(PQerrorMessage(m_conn));
            PQfinish(m_conn);
            m_conn = nullptr;
            throw StorageError(KindOfConnectFailure(message), "cannot connect to " + m_where + ": " + message);
        }
        // Notices ("already exists, skipping") are chatter, not failures: libpq would print them.
        PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);
        m_state->cancel = PQgetCancel(m_conn);
        m_state->text = text;
        m_state->backendPid = std::to_string(PQbackendPID(m_conn));
        try {
            // Locks are waited for as long as SQLite waits for its file; 0 there means not at all.
            const int64_t lockWait = options.busyTimeoutMs > 0 ? options.busyTimeoutMs : 1;
            Execute("SET lock_timeout = " + std::to_string(lockWait) +
                    "; SET statement_timeout = " + std::to_string(m_statementTimeoutMs));
        } catch (...) {
            PQfinish(m_conn);
            m_conn = nullptr;
            throw;
        }
    }
    ~PostgresConnection() override;

    const IDialect& Dialect() const override { return reporting::Dialect(); }
    std::unique_ptr<IStatement> Prepare(std::string_view sql) override;
    void Execute(std::string_view sql) override;

    void Interrupt() noexcept override
    {
        m_interrupted.store(true);
        if (m_rollingBack.load()) return;
        std::lock_guard lock(m_state->lock);
        if (!m_state->inFlight || !m_state->cancel) return;
        ++m_state->cancelling;
        try {
            std::thread(CancelCommand, m_state, m_state->command).detach();
        } catch (...) {
            --m_state->cancelling;  // no thread: the statement ends at its timeout
        }
    }

    void ClearInterrupt() noexcept override
    {
        // A cancel request still on its way could stop the next command instead: let it land first.
        std::unique_lock lock(m_state->lock);
        m_state->changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_state->cancelling == 0; });
        m_interrupted.store(false);
    }

    void PrepareForBulkLoad() override { Execute("SET synchronous_commit = off"); }
    // VACUUM sets the visibility map, so counts read indexes alone; ANALYZE gives the planner the data.
    void FinishBulkLoad() override { Execute("VACUUM (ANALYZE)"); }

    std::unique_ptr<IBulkWriter> BulkInsert(std::string_view table, const std::vector<std::string>& columns,
                                            int64_t batchRows) override;

    // --- for statements and writers ---

    PGconn* Handle() const noexcept { return m_conn; }

    bool Interrupted() const noexcept { return m_interrupted.load(); }
    void CheckInterrupt() const
    {
        if (m_interrupted.load()) throw StorageError(StorageErrorKind::Interrupted, "the statement was interrupted");
    }

    /// Before a command goes out: the rows still coming for another statement are read into it, the
    /// interrupt is checked, and the command counts as in flight until EndCommand.
    void BeginCommand(PostgresStatement* statement, bool interruptible = true);
    void EndCommand() noexcept
    {
        std::lock_guard lock(m_state->lock);
        m_state->inFlight = false;
        m_active = nullptr;
        m_state->changed.notify_all();
    }

    /// The failure of the last command, from its result when there is one.
    StorageError ErrorOf(const PGresult* result, std::string_view what, std::string_view sql = {}) const
    {
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string message = OneLine(result ? PQresultErrorMessage(result) : PQerrorMessage(m_conn));
        StorageErrorKind kind = KindOfState(state ? state : "");
        if (state && std::string_view(state) == "57014") {
            // Canceled: by our interrupt, or by the server's statement timeout.
            kind = !m_interrupted.load() && m_statementTimeoutMs > 0 ? StorageErrorKind::TimedOut
                                                                     : StorageErrorKind::Interrupted;
        }
        if (PQstatus(m_conn) != CONNECTION_OK) kind = StorageErrorKind::Unavailable;
        std::string text = std::string(what) + " on " + m_where + ": " + (message.empty() ? "no answer" : message);
        if (state) text += std::string(" (SQLSTATE ") + state + ")";
        if (!sql.empty()) text += " in: " + Clip(sql);
        return StorageError(kind, std::move(text));
    }

    /// Reads every result of the command in flight; the first failure among them, or none.
    std::optional<StorageError> Drain(std::string_view what, std::string_view sql) noexcept
    {
        std::optional<StorageError> failure;
        try {
            while (PGresult* raw = PQgetResult(m_conn)) {
                const Result result(raw);
                const ExecStatusType status = PQresultStatus(raw);
                if (!failure && (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE))
                    failure = ErrorOf(raw, what, sql);
                // A COPY the server still waits for: end it, so the connection can go on.
                if (status == PGRES_COPY_IN) PQputCopyEnd(m_conn, "abandoned");
                if (PQstatus(m_conn) != CONNECTION_OK) break;
            }
            if (!failure && PQstatus(m_conn) != CONNECTION_OK) failure = ErrorOf(nullptr, what, sql);
        } catch (...) {
            failure = StorageError(StorageErrorKind::Other, std::string(what) + " failed");
        }
        EndCommand();
        return failure;
    }

private:
    static void RefusePassword(const std::string& text)
    {
        const std::string problem = ConnectionProblem(text);
        if (!problem.empty()) throw StorageError(StorageErrorKind::Invalid, problem);
    }

    std::string Where() const
    {
        const auto text = [](const char* value) { return std::string(value && *value ? value : "?"); };
        std::string host = text(PQhost(m_conn));
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        return "the PostgreSQL database '" + text(PQdb(m_conn)) + "' at " + host + ":" + text(PQport(m_conn)) +
               " (user " + text(PQuser(m_conn)) + ")";
    }

    PGconn* m_conn = nullptr;
    std::string m_where;
    int64_t m_statementTimeoutMs = 0;
    std::shared_ptr<CancelState> m_state = std::make_shared<CancelState>();
    std::atomic<bool> m_interrupted{false};
    std::atomic<bool> m_rollingBack{false};
    PostgresStatement* m_active = nullptr;  ///< the statement whose rows are still coming
};

class PostgresStatement final : public IStatement {
public:
    PostgresStatement(PostgresConnection& connection, std::string sql, const PGresult* description)
        : m_connection(connection), m_sql(std::move(sql))
    {
        const int params = PQnparams(description);
        for (int i = 0; i < params; ++i) m_types.push_back(PQparamtype(description, i));
        m_values.resize(m_types.size());
        const int fields = PQnfields(description);
        for (int i = 0; i < fields; ++i) {
            m_names.emplace_back(PQfname(description, i));
            m_columnTypes.push_back(PQftype(description, i));
        }
    }
    ~PostgresStatement() override { Discard(); }

    void Bind(size_t index, const SqlValue& value) override
    {
        if (index < 1 || index > m_values.size())
            throw StorageError(StorageErrorKind::Invalid, "parameter " + std::to_string(index) +
                                                              " does not exist; the statement has " +
                                                              std::to_string(m_values.size()));
        std::optional<std::string>& slot = m_values[index - 1];
        if (const auto* number = std::get_if<int64_t>(&value)) {
            slot = std::to_string(*number);
        } else if (const auto* real = std::get_if<double>(&value)) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", *real);
            slot = buffer;
        } else if (const auto* text = std::get_if<std::string>(&value)) {
            // Values travel as C strings: a NUL would cut the value short and match something else.
            if (text->find('\0') != std::string::npos)
                throw StorageError(StorageErrorKind::Invalid,
                                   "parameter " + std::to_string(index) + " holds a NUL character, which PostgreSQL text cannot");
            slot = *text;
        } else {
            slot.reset();
        }
    }

    bool Next() override
    {
        m_row.reset();
        if (!m_buffered.empty()) {
            m_row = std::move(m_buffered.front());
            m_buffered.pop_front();
            return true;
        }
        if (m_failure) {
            StorageError failure = *m_failure;
            m_failure.reset();
            m_state = State::Idle;
            throw failure;
        }
        if (m_state == State::Done) return false;
        if (m_state == State::Idle) {
            Send();
        } else if (m_connection.Interrupted()) {
            Discard();  // the cancel is on its way; what still comes is dropped
            m_connection.CheckInterrupt();
        }
        return Fetch();
    }

    size_t ColumnCount() const override { return m_names.size(); }
    std::string ColumnName(size_t column) const override { return column < m_names.size() ? m_names[column] : ""; }

    SqlValue Column(size_t column) const override
    {
        if (!m_row || column >= m_columnTypes.size()) return std::monostate{};
        const int at = static_cast<int>(column);
        if (PQgetisnull(m_row.get(), 0, at)) return std::monostate{};
        const char* text = PQgetvalue(m_row.get(), 0, at);
        const size_t length = static_cast<size_t>(PQgetlength(m_row.get(), 0, at));
        switch (m_columnTypes[column]) {
            case kInt8Oid:
            case kInt4Oid:
            case kInt2Oid:
            case kOidOid:
                return Integer(text, length).value_or(0);
            case kBoolOid:
                return int64_t{text[0] == 't' ? 1 : 0};
            case kNumericOid:
                // SUM of integers is numeric here; a whole number reads back as an integer.
                if (const std::optional<int64_t> whole = Integer(text, length)) return *whole;
                [[fallthrough]];
            case kFloat4Oid:
            case kFloat8Oid:
                return std::strtod(text, nullptr);
            default:
                return std::string(text, length);
        }
    }

    void Reset() override
    {
        Discard();
        m_row.reset();
        m_buffered.clear();
        m_failure.reset();
        m_state = State::Idle;
    }

    /// Another command is about to go out on the connection: the rest of this one's rows are read now.
    void Buffer() noexcept
    {
        try {
            while (m_state == State::Running) {
                Result row = FetchOne();
                if (!row) break;
                m_buffered.push_back(std::move(row));
            }
        } catch (const StorageError& error) {
            m_failure = error;
        }
    }

private:
    enum class State { Idle, Running, Done };

    static std::optional<int64_t> Integer(const char* text, size_t length)
    {
        int64_t value = 0;
        const auto [end, error] = std::from_chars(text, text + length, value);
        if (error != std::errc() || end != text + length) return std::nullopt;
        return value;
    }

    void Send()
    {
        m_connection.BeginCommand(this);
        std::vector<const char*> values(m_values.size());
        for (size_t i = 0; i < m_values.size(); ++i) values[i] = m_values[i] ? m_values[i]->c_str() : nullptr;
        PGconn* conn = m_connection.Handle();
        if (!PQsendQueryParams(conn, m_sql.c_str(), static_cast<int>(values.size()), m_types.data(), values.data(),
                               nullptr, nullptr, 0)) {
            const StorageError error = m_connection.ErrorOf(nullptr, "the statement could not be sent", m_sql);
            m_connection.Drain("the statement", m_sql);
            throw error;
        }
        PQsetSingleRowMode(conn);
        m_state = State::Running;
    }

    bool Fetch()
    {
        Result row = FetchOne();
        if (!row) {
            if (m_failure) {
                StorageError failure = *m_failure;
                m_failure.reset();
                m_state = State::Idle;
                throw failure;
            }
            return false;
        }
        m_row = std::move(row);
        return true;
    }

    /// The next row of the running command, or null at its end (with m_failure set when it failed).
    Result FetchOne()
    {
        Result result(PQgetResult(m_connection.Handle()));
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (result && status == PGRES_SINGLE_TUPLE) return result;
        std::optional<StorageError> failure;
        if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE)
            failure = m_connection.ErrorOf(result.get(), "the statement failed", m_sql);
        result.reset();
        std::optional<StorageError> rest = m_connection.Drain("the statement", m_sql);
        if (!failure) failure = std::move(rest);
        m_state = State::Done;
        if (failure) m_failure = std::move(failure);
        return nullptr;
    }

    /// Reads and drops whatever the command still sends.
    void Discard() noexcept
    {
        if (m_state == State::Running) {
            while (PGresult* raw = PQgetResult(m_connection.Handle())) {
                PQclear(raw);
                if (PQstatus(m_connection.Handle()) != CONNECTION_OK) break;
            }
            m_connection.EndCommand();
            m_state = State::Done;
        }
    }

    PostgresConnection& m_connection;
    const std::string m_sql;
    std::vector<Oid> m_types;
    std::vector<std::optional<std::string>> m_values;
    std::vector<std::string> m_names;
    std::vector<Oid> m_columnTypes;
    State m_state = State::Idle;
    Result m_row;
    std::deque<Result> m_buffered;
    std::optional<StorageError> m_failure;
};

PostgresConnection::~PostgresConnection()
{
    if (m_active) m_active->Buffer();
    PQfinish(m_conn);
}

void PostgresConnection::BeginCommand(PostgresStatement* statement, bool interruptible)
{
    if (m_active && m_active != statement) m_active->Buffer();
    if (PQstatus(m_conn) != CONNECTION_OK)
        throw StorageError(StorageErrorKind::Unavailable, "the connection to " + m_where + " is lost");
    std::lock_guard lock(m_state->lock);
    if (interruptible) CheckInterrupt();
    m_state->inFlight = true;
    ++m_state->command;
    m_active = statement;
}

std::unique_ptr<IStatement> PostgresConnection::Prepare(std::string_view sql)
{
    const std::string text(sql);
    // A failed statement spoils the transaction around it; probes that may fail (does this table
    // exist?) must leave it usable, so inside a transaction the check runs under a savepoint.
    const bool inTransaction = PQtransactionStatus(m_conn) == PQTRANS_INTRANS;
    if (inTransaction) Execute("SAVEPOINT corvane_prepare");
    BeginCommand(nullptr);
    Result prepared(PQprepare(m_conn, "", text.c_str(), 0, nullptr));
    std::optional<StorageError> failure;
    if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) failure = ErrorOf(prepared.get(), "cannot prepare the statement", text);
    Result description;
    if (!failure) {
        description.reset(PQdescribePrepared(m_conn, ""));
        if (PQresultStatus(description.get()) != PGRES_COMMAND_OK)
            failure = ErrorOf(description.get(), "cannot describe the statement", text);
    }
    EndCommand();
    if (inTransaction && PQstatus(m_conn) == CONNECTION_OK) {
        try {
            Execute(failure ? "ROLLBACK TO SAVEPOINT corvane_prepare" : "RELEASE SAVEPOINT corvane_prepare");
        } catch (const StorageError&) {
            if (!failure) throw;
        }
    }
    if (failure) {
        // A statement the server cannot make is the caller's fault unless the server itself failed.
        if (failure->Kind() == StorageErrorKind::Other) throw StorageError(StorageErrorKind::Invalid, failure->what());
        throw *failure;
    }
    return std::make_unique<PostgresStatement>(*this, text, description.get());
}

void PostgresConnection::Execute(std::string_view sql)
{
    // A ROLLBACK is never interrupted: it is how an interrupted transaction gets cleaned up.
    const bool rollback = sql == "ROLLBACK";
    const std::string text(sql);
    BeginCommand(nullptr, !rollback);
    m_rollingBack.store(rollback);
    std::optional<StorageError> failure;
    std::string lastStatus;
    if (!PQsendQuery(m_conn, text.c_str())) {
        failure = ErrorOf(nullptr, "cannot execute", text);
        EndCommand();
    } else {
        while (PGresult* raw = PQgetResult(m_conn)) {
            const Result result(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (!failure && (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE))
                failure = ErrorOf(raw, "cannot execute", text);
            if (status == PGRES_COPY_IN) PQputCopyEnd(m_conn, "not expected here");
            if (status == PGRES_COMMAND_OK) lastStatus = PQcmdStatus(raw);
            if (PQstatus(m_conn) != CONNECTION_OK) break;
        }
        if (!failure && PQstatus(m_conn) != CONNECTION_OK) failure = ErrorOf(nullptr, "cannot execute", text);
        EndCommand();
    }
    m_rollingBack.store(false);
    if (failure) throw *failure;
    // A transaction an earlier failure spoiled answers COMMIT by rolling back: that is no success.
    if (sql == "COMMIT" && lastStatus == "ROLLBACK")
        throw StorageError(StorageErrorKind::Other, "the transaction on " + m_where +
                                                        " was rolled back: a statement in it had failed");
}

// COPY ... FROM STDIN in text form: one transaction for the whole load, so a load that stops leaves
// nothing behind.
class CopyWriter final : public IBulkWriter {
public:
    CopyWriter(PostgresConnection& connection, std::string_view table, const std::vector<std::string>& columns)
        : m_connection(connection), m_columns(columns.size())
    {
        const IDialect& d = connection.Dialect();
        m_sql = "COPY " + d.QuoteIdentifier(table) + " (";
        for (size_t i = 0; i < columns.size(); ++i) m_sql += (i ? ", " : "") + d.QuoteIdentifier(columns[i]);
        m_sql += ") FROM STDIN";
        connection.BeginCommand(nullptr);
        Result started(PQexec(connection.Handle(), m_sql.c_str()));
        if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
            std::optional<StorageError> error = connection.ErrorOf(started.get(), "cannot start the load", m_sql);
            started.reset();
            connection.Drain("the load", m_sql);
            throw *error;
        }
        m_open = true;
    }
    ~CopyWriter() override
    {
        if (m_open) {
            PQputCopyEnd(m_connection.Handle(), "the load was abandoned");
            m_connection.Drain("the load", m_sql);
        }
    }

    void Add(const std::vector<SqlValue>& row) override
    {
        if (!m_open) throw StorageError(StorageErrorKind::Invalid, "the load is finished");
        if (row.size() != m_columns)
            throw StorageError(StorageErrorKind::Invalid, "a row of " + std::to_string(row.size()) +
                                                              " values for " + std::to_string(m_columns) + " columns");
        m_connection.CheckInterrupt();
        for (size_t i = 0; i < row.size(); ++i) {
            if (i) m_buffer += '\t';
            Append(row[i]);
        }
        m_buffer += '\n';
        if (m_buffer.size() >= kFlushBytes) Flush();
    }

    void Finish() override
    {
        if (!m_open) return;
        Flush();
        m_open = false;
        if (PQputCopyEnd(m_connection.Handle(), nullptr) != 1) {
            const StorageError error = m_connection.ErrorOf(nullptr, "cannot end the load", m_sql);
            m_connection.Drain("the load", m_sql);
            throw error;
        }
        if (std::optional<StorageError> failure = m_connection.Drain("the load", m_sql)) throw *failure;
    }

private:
    static constexpr size_t kFlushBytes = 1 << 20;

    void Append(const SqlValue& value)
    {
        if (const auto* number = std::get_if<int64_t>(&value)) {
            m_buffer += std::to_string(*number);
        } else if (const auto* real = std::get_if<double>(&value)) {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", *real);
            m_buffer += text;
        } else if (const auto* text = std::get_if<std::string>(&value)) {
            for (const char c : *text) {
                switch (c) {
                    case '\\': m_buffer += "\\\\"; break;
                    case '\t': m_buffer += "\\t"; break;
                    case '\n': m_buffer += "\\n"; break;
                    case '\r': m_buffer += "\\r"; break;
                    case '\0':
                        throw StorageError(StorageErrorKind::Invalid, "a value holds a NUL character, which PostgreSQL text cannot");
                    default: m_buffer += c;
                }
            }
        } else {
            m_buffer += "\\N";
        }
    }

    void Flush()
    {
        if (m_buffer.empty()) return;
        if (PQputCopyData(m_connection.Handle(), m_buffer.data(), static_cast<int>(m_buffer.size())) != 1) {
            m_open = false;
            const StorageError error = m_connection.ErrorOf(nullptr, "cannot load rows", m_sql);
            m_connection.Drain("the load", m_sql);
            throw error;
        }
        m_buffer.clear();
    }

    PostgresConnection& m_connection;
    const size_t m_columns;
    std::string m_sql;
    std::string m_buffer;
    bool m_open = false;
};

std::unique_ptr<IBulkWriter> PostgresConnection::BulkInsert(std::string_view table,
                                                            const std::vector<std::string>& columns, int64_t)
{
    return std::make_unique<CopyWriter>(*this, table, columns);
}

std::unique_ptr<IConnection> Open(const std::string& text, const StorageOpenOptions& options)
{
    return std::make_unique<PostgresConnection>(text, options);
}

}  // namespace

StorageBackend PostgresBackend() noexcept { return {"postgresql", &Open, &Dialect, &ConnectionProblem}; }

}  // namespace cvn::reporting
