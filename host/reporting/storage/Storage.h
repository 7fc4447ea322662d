// The reporting database behind a small interface: a connection, its SQL
// dialect and prepared statements with bound parameters. SQLite implements it
// (SqliteStorage); a server database can be added without touching callers.
// Thread safety: a connection and its statements serve one thread at a time;
// open one connection per worker thread. Interrupt() may come from any thread
// while the connection is open; dialects are immutable and shared freely.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace cvn::reporting {

/// One bound parameter or result cell.
using SqlValue = std::variant<std::monostate, int64_t, double, std::string>;

/// Storage failures, each mapped by the queries processor to its result code.
enum class StorageErrorKind { Unavailable, Busy, Interrupted, Invalid, Other };

class StorageError : public std::exception {
public:
    StorageError(StorageErrorKind kind, std::string message) : m_kind(kind), m_message(std::move(message)) {}
    StorageErrorKind Kind() const noexcept { return m_kind; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    StorageErrorKind m_kind;
    std::string m_message;
};

/// How this database spells what differs between databases.
struct IDialect {
    virtual ~IDialect() = default;
    /// A quoted identifier ("When" -> "\"When\""); never built from values.
    virtual std::string QuoteIdentifier(std::string_view name) const = 0;
    /// Placeholder of the index-th parameter (1-based).
    virtual std::string Placeholder(size_t index) const = 0;
    /// "LIMIT n OFFSET m" or the database's equivalent.
    virtual std::string LimitClause(int64_t limit, int64_t offset) const = 0;
    /// Expression truncating a unix-seconds expression (column: SQL text, already quoted), shifted by
    /// offset seconds, to a part ("second", "minute", "hour", "day", "month", "year"), as unix seconds
    /// of local time. Throws StorageError(Invalid) for another part.
    virtual std::string TruncateTime(std::string_view column, int64_t offsetSeconds, std::string_view part) const = 0;
};

class IStatement {
public:
    virtual ~IStatement() = default;
    /// Binds (copies) the index-th parameter (1-based); throws StorageError(Invalid) for a bad index.
    virtual void Bind(size_t index, const SqlValue& value) = 0;
    /// Steps to the next row; false at the end (statements without results: runs them, false).
    /// Throws StorageError: Busy past the busy timeout, Interrupted after Interrupt(), Unavailable
    /// when the file is gone, damaged or not a database.
    virtual bool Next() = 0;
    virtual size_t ColumnCount() const = 0;
    virtual std::string ColumnName(size_t column) const = 0;
    virtual SqlValue Column(size_t column) const = 0;
    /// Back to before the first row, bindings kept.
    virtual void Reset() = 0;
};

class IConnection {
public:
    virtual ~IConnection() = default;
    virtual const IDialect& Dialect() const = 0;
    /// Prepares one statement; throws StorageError(Invalid) with the database's message.
    virtual std::unique_ptr<IStatement> Prepare(std::string_view sql) = 0;
    /// Runs statements without results (schema, transactions); errors as for Prepare and Next.
    virtual void Execute(std::string_view sql) = 0;
    /// Makes the running statement of this connection, and every statement stepped afterwards, fail
    /// with StorageErrorKind::Interrupted until ClearInterrupt(). Sticky, so an interrupt that lands
    /// between two statements (or just before the first) is not lost. Execute("ROLLBACK") still runs,
    /// so a Transaction guard always ends its transaction. Any thread.
    virtual void Interrupt() noexcept = 0;
    /// Lets statements run again after Interrupt(); call it on the connection's own thread before
    /// starting work that a later Interrupt() is meant to stop.
    virtual void ClearInterrupt() noexcept = 0;
};

/// BEGIN on construction; ROLLBACK on destruction unless Commit() ran. Errors as for Execute
/// (the rollback in the destructor swallows its own).
class Transaction {
public:
    explicit Transaction(IConnection& connection) : m_connection(connection) { m_connection.Execute("BEGIN"); }
    ~Transaction()
    {
        if (m_open) {
            try {
                m_connection.Execute("ROLLBACK");
            } catch (...) {
            }
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit()
    {
        m_connection.Execute("COMMIT");
        m_open = false;
    }

private:
    IConnection& m_connection;
    bool m_open = true;
};

/// The SQLite dialect (for translators built before any connection is open).
const IDialect& SqliteDialect() noexcept;

/// Opens the SQLite file at path (created when create is set) and reads its header; throws
/// StorageError(Unavailable) when it cannot be opened or is not a database, Busy when it stays locked
/// past busyTimeoutMs (how long every statement waits for a locked database).
std::unique_ptr<IConnection> OpenSqlite(const std::string& path, bool create, int busyTimeoutMs = 5000);

}  // namespace cvn::reporting
