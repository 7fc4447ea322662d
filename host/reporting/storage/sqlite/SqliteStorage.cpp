// The reporting storage on SQLite: connections, statements and the dialect.
// Interrupts are sticky: a flag checked before every step and by a progress
// handler inside long steps, plus sqlite3_interrupt for an immediate stop.
#include "host/reporting/storage/sqlite/SqliteStorage.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdio>

namespace cvn::reporting {

namespace {

// Virtual machine instructions between two looks at the interrupt flag: a few microseconds.
constexpr int kProgressInterval = 1000;

StorageErrorKind KindOf(int code) noexcept
{
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return StorageErrorKind::Busy;
        case SQLITE_INTERRUPT:
            return StorageErrorKind::Interrupted;
        case SQLITE_CANTOPEN:
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_IOERR:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return StorageErrorKind::Unavailable;
        case SQLITE_ERROR:
        case SQLITE_RANGE:
        case SQLITE_MISMATCH:
        case SQLITE_MISUSE:
        case SQLITE_TOOBIG:
            return StorageErrorKind::Invalid;
        default:
            return StorageErrorKind::Other;
    }
}

// "<what>: <SQLite's message> (SQLite code N)", the statement's start appended when given.
StorageError MakeError(int code, sqlite3* db, std::string_view what, std::string_view sql = {})
{
    std::string message(what);
    message += ": ";
    message += db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    char number[40];
    std::snprintf(number, sizeof number, " (SQLite code %d)", code);
    message += number;
    if (!sql.empty()) {
        constexpr size_t kShown = 200;
        message += " in: ";
        message += sql.substr(0, kShown);
        if (sql.size() > kShown) message += "...";
    }
    return StorageError(KindOf(code), std::move(message));
}

class SqliteDialectImpl final : public IDialect {
public:
    std::string QuoteIdentifier(std::string_view name) const override { return QuoteStandardIdentifier(name); }

    std::string Placeholder(size_t index) const override { return "?" + std::to_string(index); }

    std::string LimitClause(int64_t limit, int64_t offset) const override
    {
        std::string clause = "LIMIT " + std::to_string(limit < 0 ? -1 : limit);
        if (offset > 0) clause += " OFFSET " + std::to_string(offset);
        return clause;
    }

    std::string TruncateTime(std::string_view column, int64_t offsetSeconds, std::string_view part) const override
    {
        return TruncateTimeBy(column, offsetSeconds, part, [](const std::string& shifted, const char* unit) {
            return "CAST(strftime('%s', " + shifted + ", 'unixepoch', 'start of " + unit + "') AS INTEGER)";
        });
    }

    std::string IntegerType() const override { return "INTEGER"; }
    std::string TextType() const override { return "TEXT"; }
    // The rowid alias: filled in by SQLite and the fastest key there is.
    std::string GeneratedKeyColumn() const override { return "INTEGER PRIMARY KEY"; }

    std::string CreateViewIfAbsent(std::string_view view, std::string_view select) const override
    {
        return "CREATE VIEW IF NOT EXISTS " + QuoteIdentifier(view) + " AS " + std::string(select);
    }

    std::string UpsertStatement(std::string_view table, const std::vector<std::string>& keys,
                                const std::vector<std::string>& values) const override
    {
        std::vector<std::string> columns = keys;
        columns.insert(columns.end(), values.begin(), values.end());
        return "INSERT OR REPLACE INTO " + QuoteIdentifier(table) + " " + ColumnsAndValues(*this, columns);
    }

    std::string BeginWriteTransaction() const override { return "BEGIN IMMEDIATE"; }
    // Deferred: in WAL mode the snapshot is taken at the first read and kept to the end.
    std::string BeginSnapshotTransaction() const override { return "BEGIN"; }
    // The rowid stays usable; only the secondary indexes are set aside.
    std::string KeyOnlyAccessHint() const override { return " NOT INDEXED"; }
    bool CountsInDatabase() const override { return false; }
};

const IDialect& Dialect() noexcept
{
    static const SqliteDialectImpl dialect;
    return dialect;
}

class SqliteConnection;

class SqliteStatement final : public IStatement {
public:
    SqliteStatement(SqliteConnection& connection, sqlite3_stmt* statement) noexcept
        : m_connection(connection), m_statement(statement)
    {
    }
    ~SqliteStatement() override { sqlite3_finalize(m_statement); }

    void Bind(size_t index, const SqlValue& value) override;
    bool Next() override;
    size_t ColumnCount() const override { return static_cast<size_t>(sqlite3_column_count(m_statement)); }
    std::string ColumnName(size_t column) const override
    {
        const char* name = sqlite3_column_name(m_statement, static_cast<int>(column));
        return name ? name : "";
    }
    SqlValue Column(size_t column) const override;
    void Reset() override { sqlite3_reset(m_statement); }

private:
    SqliteConnection& m_connection;
    sqlite3_stmt* m_statement;
};

class SqliteConnection final : public IConnection {
public:
    SqliteConnection(const std::string& path, bool create, int busyTimeoutMs)
    {
        const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
        const int opened = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
        if (opened != SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(opened);
            sqlite3_close(m_db);
            m_db = nullptr;
            throw StorageError(StorageErrorKind::Unavailable,
                               "cannot open the SQLite database '" + path + "': " + message);
        }
        sqlite3_busy_timeout(m_db, busyTimeoutMs > 0 ? busyTimeoutMs : 0);
        sqlite3_progress_handler(m_db, kProgressInterval, &SqliteConnection::OnProgress, this);
        try {
            // Reads the header: a file that is not a database fails here rather than at the first query.
            Execute("SELECT count(*) FROM sqlite_master");
        } catch (const StorageError& error) {
            sqlite3_close(m_db);
            m_db = nullptr;
            throw StorageError(error.Kind(), "the SQLite database '" + path + "' cannot be read: " + error.what());
        }
    }
    ~SqliteConnection() override { sqlite3_close(m_db); }

    const IDialect& Dialect() const override { return reporting::Dialect(); }

    std::unique_ptr<IStatement> Prepare(std::string_view sql) override
    {
        sqlite3_stmt* statement = nullptr;
        const int prepared = sqlite3_prepare_v2(m_db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
        if (prepared != SQLITE_OK) {
            sqlite3_finalize(statement);
            throw MakeError(prepared, m_db, "cannot prepare the statement", sql);
        }
        if (!statement) throw StorageError(StorageErrorKind::Invalid, "the statement is empty");
        return std::make_unique<SqliteStatement>(*this, statement);
    }

    void Execute(std::string_view sql) override
    {
        // sqlite3_exec steps each statement of the text; the progress handler watches them all. A
        // ROLLBACK is never interrupted: it is how an interrupted transaction gets cleaned up.
        const bool rollback = sql == "ROLLBACK";
        if (!rollback) CheckInterrupt();
        char* error = nullptr;
        const std::string text(sql);
        m_rollingBack.store(rollback);
        const int executed = sqlite3_exec(m_db, text.c_str(), nullptr, nullptr, &error);
        m_rollingBack.store(false);
        if (executed != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errstr(executed);
            sqlite3_free(error);
            std::string what = "cannot execute: " + message;
            char number[40];
            std::snprintf(number, sizeof number, " (SQLite code %d) in: ", executed);
            throw StorageError(KindOf(executed), what + number + text.substr(0, 200));
        }
    }

    void Interrupt() noexcept override
    {
        m_interrupted.store(true);
        if (!m_rollingBack.load()) sqlite3_interrupt(m_db);
    }

    void ClearInterrupt() noexcept override { m_interrupted.store(false); }

    void PrepareForBulkLoad() override { Execute("PRAGMA synchronous = OFF"); }

    void FinishBulkLoad() override
    {
        Execute("ANALYZE");
        Execute("PRAGMA journal_mode = WAL");
    }

    void CheckInterrupt() const
    {
        if (m_interrupted.load()) throw StorageError(StorageErrorKind::Interrupted, "the statement was interrupted");
    }

    sqlite3* Handle() const noexcept { return m_db; }

private:
    static int OnProgress(void* self) noexcept
    {
        const auto* connection = static_cast<SqliteConnection*>(self);
        return connection->m_interrupted.load() && !connection->m_rollingBack.load() ? 1 : 0;
    }

    sqlite3* m_db = nullptr;
    std::atomic<bool> m_interrupted{false};
    std::atomic<bool> m_rollingBack{false};
};

void SqliteStatement::Bind(size_t index, const SqlValue& value)
{
    const int count = sqlite3_bind_parameter_count(m_statement);
    if (index < 1 || index > static_cast<size_t>(count))
        throw StorageError(
            StorageErrorKind::Invalid,
            "parameter " + std::to_string(index) + " does not exist; the statement has " + std::to_string(count));
    const int at = static_cast<int>(index);
    int bound = SQLITE_OK;
    if (const auto* number = std::get_if<int64_t>(&value)) {
        bound = sqlite3_bind_int64(m_statement, at, *number);
    } else if (const auto* real = std::get_if<double>(&value)) {
        bound = sqlite3_bind_double(m_statement, at, *real);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        bound = sqlite3_bind_text64(m_statement, at, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else {
        bound = sqlite3_bind_null(m_statement, at);
    }
    if (bound != SQLITE_OK)
        throw MakeError(bound, m_connection.Handle(), "cannot bind parameter " + std::to_string(index));
}

bool SqliteStatement::Next()
{
    m_connection.CheckInterrupt();
    const int stepped = sqlite3_step(m_statement);
    if (stepped == SQLITE_ROW) return true;
    if (stepped == SQLITE_DONE) return false;
    StorageError error = MakeError(stepped, m_connection.Handle(), "the statement failed", sqlite3_sql(m_statement));
    // Reset clears the statement's error state so that it can run again after, say, a busy failure.
    sqlite3_reset(m_statement);
    throw error;
}

SqlValue SqliteStatement::Column(size_t column) const
{
    const int at = static_cast<int>(column);
    switch (sqlite3_column_type(m_statement, at)) {
        case SQLITE_INTEGER:
            return static_cast<int64_t>(sqlite3_column_int64(m_statement, at));
        case SQLITE_FLOAT:
            return sqlite3_column_double(m_statement, at);
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, at));
            return std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(m_statement, at)));
        }
        case SQLITE_BLOB: {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(m_statement, at));
            return std::string(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(m_statement, at)));
        }
        default:
            return std::monostate{};
    }
}

std::unique_ptr<IConnection> Open(const std::string& path, const StorageOpenOptions& options)
{
    return std::make_unique<SqliteConnection>(path, options.create, options.busyTimeoutMs);
}

}  // namespace

StorageBackend SqliteBackend() noexcept { return {"sqlite", &Open, &Dialect}; }

}  // namespace cvn::reporting
