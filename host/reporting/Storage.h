// The reporting database behind a small interface: a connection, its SQL
// dialect and prepared statements with bound parameters. SQLite implements it
// (SqliteStorage); a server database can be added without touching callers.
// Thread safety: a connection and its statements serve one thread at a time;
// open one connection per worker thread. Interrupt() may come from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane::reporting {

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
    /// Expression truncating a unix-seconds column, shifted by offset seconds, to a part
    /// ("second", "minute", "hour", "day", "month", "year"), as unix seconds of local time.
    virtual std::string TruncateTime(std::string_view column, int64_t offsetSeconds, std::string_view part) const = 0;
};

class IStatement {
public:
    virtual ~IStatement() = default;
    /// Binds the index-th parameter (1-based); throws StorageError(Invalid) for a bad index.
    virtual void Bind(size_t index, const SqlValue& value) = 0;
    /// Steps to the next row; false at the end. Throws StorageError (Busy, Interrupted, ...).
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
    /// Runs statements without results (schema, transactions).
    virtual void Execute(std::string_view sql) = 0;
    /// Makes a running statement of this connection fail with StorageErrorKind::Interrupted.
    virtual void Interrupt() noexcept = 0;
};

/// Opens the SQLite file at path (created when create is set); throws StorageError(Unavailable)
/// when it cannot be opened. busyTimeoutMs: how long a locked database is waited for.
std::unique_ptr<IConnection> OpenSqlite(const std::string& path, bool create, int busyTimeoutMs = 5000);

}  // namespace corvane::reporting
