// The reporting database behind a small interface: a connection, its SQL
// dialect and prepared statements with bound parameters. OpenStorage is the one
// door: it picks the backend by the settings' kind from Backends.cpp (SQLite in
// storage/sqlite/; docs/storage-backends.md tells how to add one). Callers take
// the dialect from the connection, or from DialectFor before they open one.
// Thread safety: a connection and its statements serve one thread at a time;
// open one connection per worker thread. Interrupt() may come from any thread
// while the connection is open; dialects are immutable and shared freely.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/reporting/storage/StorageSettings.h"

namespace cvn::reporting {

/// One bound parameter or result cell.
using SqlValue = std::variant<std::monostate, int64_t, double, std::string>;

/// Storage failures, each mapped by the queries processor to its result code.
/// TimedOut: the database itself stopped a statement past the connection's statement timeout.
enum class StorageErrorKind { Unavailable, Busy, Interrupted, TimedOut, Invalid, Other };

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
    /// The name a select gives its result column of the attribute ("Who", "When", "Count"). Where such a
    /// name stands for its expression everywhere in the select, it must differ from every column's name,
    /// or a bucket of "When" named "When" would replace "When" in the select's conditions.
    virtual std::string ResultAlias(std::string_view attribute) const { return QuoteIdentifier(attribute); }
    /// Placeholder of the index-th parameter (1-based).
    virtual std::string Placeholder(size_t index) const = 0;
    /// "LIMIT n OFFSET m" or the database's equivalent.
    virtual std::string LimitClause(int64_t limit, int64_t offset) const = 0;
    /// Expression truncating a unix-seconds expression (column: SQL text, already quoted), shifted by
    /// offset seconds, to a part ("second", "minute", "hour", "day", "month", "year"), as unix seconds
    /// of local time. Throws StorageError(Invalid) for another part.
    virtual std::string TruncateTime(std::string_view column, int64_t offsetSeconds, std::string_view part) const = 0;

    /// Column types of the reporting schema: a 64-bit integer and text of any length.
    virtual std::string IntegerType() const = 0;
    virtual std::string TextType() const = 0;
    /// Type and constraint of an integer key the database assigns when an insert leaves it out.
    virtual std::string GeneratedKeyColumn() const = 0;
    /// "CREATE VIEW" of the select (SQL text) under the name, leaving an existing view as it is.
    virtual std::string CreateViewIfAbsent(std::string_view view, std::string_view select) const = 0;
    /// An insert of one row that replaces the row with the same key columns: placeholders 1..n in the
    /// order of keys, then values.
    virtual std::string UpsertStatement(std::string_view table, const std::vector<std::string>& keys,
                                        const std::vector<std::string>& values) const = 0;
    /// Starts a transaction that takes the write lock at once, so two writers never both read first
    /// and then fail to upgrade. Ended by "COMMIT" or "ROLLBACK".
    virtual std::string BeginWriteTransaction() const = 0;
    /// Starts a transaction whose statements all read the same snapshot of the database.
    virtual std::string BeginSnapshotTransaction() const = 0;
    /// Text after a table's alias that makes the database find its rows by the integer key alone,
    /// where its planner would otherwise prefer an index that a range on the key beats; may be empty.
    virtual std::string KeyOnlyAccessHint() const = 0;
    /// Whether the aggregator counts the hours with grouped inserts (a server, where every row read back
    /// or written is a round trip) rather than in one pass over the records read back (a file in
    /// process, where that pass is the faster).
    virtual bool CountsInDatabase() const = 0;
    /// Whether the backend makes the reporting tables itself (IConnection::CreateOwnSchema: engines,
    /// shards, sort orders instead of indexes) and its database counts every record into the counters
    /// as the record is inserted (IConnection::KeepCounters), so there is no aggregation pass.
    virtual bool KeepsCounters() const { return false; }
    /// Whether a query reads faster as one select whose condition holds all its ranges than as a union
    /// of one select per range (where every select is a round trip to the shards).
    virtual bool CombinesRanges() const { return false; }
};

// Spellings the backends share.
/// "name" with every " in it doubled, as standard SQL quotes a name.
std::string QuoteStandardIdentifier(std::string_view name);
/// "(a, b) VALUES (p1, p2)": the columns quoted by the dialect and a placeholder for each, from 1.
std::string ColumnsAndValues(const IDialect& dialect, const std::vector<std::string>& columns);
/// A time bucket in unix seconds: the column shifted by the offset, divided down to whole minutes,
/// hours or days, or calendar(shifted, "month" or "year"). Throws StorageError(Invalid) for another part.
std::string TruncateTimeBy(std::string_view column, int64_t offsetSeconds, std::string_view part,
                           std::string (*calendar)(const std::string& shifted, const char* unit));

struct CountersTableLayout;

/// One group and preset the database counts into the counters itself (IDialect::KeepsCounters).
struct CountedSelection {
    int64_t mask = 0;
    int64_t conditionId = 0;
    std::vector<std::pair<std::string, std::string>> columns;  ///< (records column, counters column)
    std::string alias;                                         ///< the records table's alias in condition
    std::string condition;  ///< SQL over the records, placeholders 1..n for parameters
    std::vector<SqlValue> parameters;
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

/// Rows loaded into one table in bulk (the database's own bulk path where it has one). Finish() makes
/// them permanent; rows not yet finished may be dropped when the writer goes without it.
class IBulkWriter {
public:
    virtual ~IBulkWriter() = default;
    /// One row, a value per column in the writer's column order. Throws StorageError.
    virtual void Add(const std::vector<SqlValue>& row) = 0;
    /// Throws StorageError; the writer takes no rows afterwards.
    virtual void Finish() = 0;
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
    /// Before loading many rows into a database of its own, where a crash costs only a rerun: trades
    /// durability for speed on this connection.
    virtual void PrepareForBulkLoad() = 0;
    /// After the load and its indexes: refreshes the planner's statistics and leaves the database in
    /// the mode that lets readers run beside a writer.
    virtual void FinishBulkLoad() = 0;
    /// A writer of rows into the table's columns (quoted by the dialect). By default a prepared insert,
    /// committed every batchRows rows; a backend with a bulk path (COPY) overrides it. Throws StorageError.
    virtual std::unique_ptr<IBulkWriter> BulkInsert(std::string_view table, const std::vector<std::string>& columns,
                                                    int64_t batchRows = 200000);

    /// Where the dialect KeepsCounters: creates the reporting tables when absent. Others throw
    /// StorageError(Invalid); the plain tables are made by CreateReportingSchema.
    virtual void CreateOwnSchema(const CountersTableLayout& counters);
    /// Where the dialect KeepsCounters: from now on counts every inserted record into the counters by
    /// the selections, replacing what was counted before; counts the records already there; then stores
    /// the state rows (key, value) as the aggregation state. Records inserted while this runs may be
    /// counted twice: run it before the writers start. Others throw StorageError(Invalid).
    virtual void KeepCounters(const CountersTableLayout& counters, const std::vector<CountedSelection>& selections,
                              const std::vector<std::pair<std::string, std::string>>& state);
};

/// BEGIN (or the given start) on construction; ROLLBACK on destruction unless Commit() ran. Errors as
/// for Execute (the rollback in the destructor swallows its own).
class Transaction {
public:
    explicit Transaction(IConnection& connection, std::string_view begin = "BEGIN") : m_connection(connection)
    {
        m_connection.Execute(begin);
    }
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

struct StorageOpenOptions {
    bool create = false;       ///< make the database when it does not exist (a file of its own; a server's must exist)
    int busyTimeoutMs = 5000;  ///< how long every statement waits for a locked database
    /// Where the database can stop a statement itself: its running time limit, failing it with
    /// StorageErrorKind::TimedOut (0: none). Others ignore it; their caller interrupts instead.
    int64_t statementTimeoutMs = 0;
    /// For a connection kept for many statements that may be interrupted (a queries processor worker's):
    /// where an interrupt reaches the database over the network, the way is made ready at open.
    bool readyInterrupt = false;
    /// Rows past which the caller fails a result anyway (0: no bound): where a whole answer arrives at
    /// once, the database stops sending there.
    int64_t maxResultRows = 0;
};

/// Opens the database the settings name with their kind's backend, and reads from it. Throws HRX
/// 0x8007000D for an unknown kind (as ParseStorageSettings); StorageError(Unavailable) when it cannot
/// be opened or is not a database, Busy when it stays locked past the busy timeout.
std::unique_ptr<IConnection> OpenStorage(const StorageSettings& settings, const StorageOpenOptions& options = {});

/// The dialect of the settings' kind, for translators built before any connection is open. Throws as
/// OpenStorage for an unknown kind.
const IDialect& DialectFor(const StorageSettings& settings);

}  // namespace cvn::reporting
