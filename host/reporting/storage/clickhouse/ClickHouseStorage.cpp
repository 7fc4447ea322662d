// The reporting storage on ClickHouse. This version has no query parameters
// and no transactions: a statement's values become literals when it runs
// (BindValues), BEGIN, COMMIT and ROLLBACK do nothing, schema changes run on
// every server (ON CLUSTER needs ZooKeeper), and everything else on the first
// server that answers, which reads the shards through the Distributed tables.
// A statement is stopped by KILL QUERY with its own id, from a thread of its
// own, since a client that goes away does not stop it.
#include "host/reporting/storage/clickhouse/ClickHouseStorage.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/clickhouse/ClickHouseDialect.h"
#include "host/reporting/storage/clickhouse/ClickHouseHttp.h"
#include "host/reporting/storage/clickhouse/ClickHouseSql.h"

namespace cvn::reporting {

namespace {

using namespace clickhouse;

constexpr const char* kLocalSuffix = "_Local";
constexpr const char* kViewInfix = "_View_";

// A KILL that reaches the server before its statement does finds nothing: it is repeated while the
// statement still runs.
constexpr int kKillAttempts = 50;
constexpr auto kKillRetry = std::chrono::milliseconds(5);

// Codes after which a read is tried once more: the coordinating server's pooled connection to a shard
// that restarted fails once.
constexpr int kShardConnectionFailed = 279;
constexpr int kShardNetworkError = 210;
constexpr auto kStaleConnectionFailsWithin = std::chrono::milliseconds(500);

// Rows per mark of the counters' index. A dashboard reads a few short runs of buckets, each read as whole
// marks: at the default 8192 rows the marks, not the runs, decide what a query reads. The counters are
// small and not partitioned: every part is one more index to search for each run (10M records, one
// shard: 9 ms a statement over five parts by span, 6 ms over one).
constexpr int kCountersGranularity = 1024;

// A bulk load sends its rows in pieces of at most this many bytes.
constexpr size_t kMostBatchBytes = 16 << 20;

std::string FirstWord(std::string_view sql)
{
    size_t i = 0;
    while (i < sql.size() && (std::isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '(')) ++i;
    std::string word;
    while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
    return word;
}

enum class StatementKind { Transaction, Schema, Read, Write };

StatementKind KindOf(std::string_view sql)
{
    static const std::set<std::string> transaction{"BEGIN", "COMMIT", "ROLLBACK"};
    static const std::set<std::string> schema{"CREATE", "DROP", "ALTER", "RENAME", "TRUNCATE", "DETACH", "ATTACH"};
    static const std::set<std::string> read{"SELECT", "WITH", "SHOW", "DESCRIBE", "DESC", "EXISTS"};
    const std::string word = FirstWord(sql);
    if (transaction.count(word)) return StatementKind::Transaction;
    if (schema.count(word)) return StatementKind::Schema;
    if (read.count(word)) return StatementKind::Read;
    return StatementKind::Write;
}

std::string Quote(std::string_view name) { return Dialect().QuoteIdentifier(name); }

/// A cell of TabSeparated input.
void AppendCell(std::string& line, const SqlValue& value)
{
    if (std::holds_alternative<std::monostate>(value)) {
        line += "\\N";
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        AppendEscaped(line, *text);
    } else {
        std::string literal = Literal(value);  // negative numbers come in parentheses there
        if (literal.front() == '(') literal = literal.substr(1, literal.size() - 2);
        line += literal;
    }
}

/// What a statement in flight is, for the kill threads; outlives the connection.
struct Flight {
    std::shared_ptr<HttpClient> client;
    std::mutex mutex;
    std::condition_variable changed;
    bool interrupted = false;
    std::string running;  ///< the query id in flight, empty when none
    size_t server = 0;
    int killers = 0;
};

void KillWhileRunning(const std::shared_ptr<Flight>& flight, size_t server, const std::string& id) noexcept
{
    for (int attempt = 0; attempt < kKillAttempts; ++attempt) {
        flight->client->Kill(server, id);
        std::unique_lock lock(flight->mutex);
        if (flight->changed.wait_for(lock, kKillRetry, [&] { return flight->running != id; })) break;
    }
    std::lock_guard lock(flight->mutex);
    --flight->killers;
    flight->changed.notify_all();
}

class ClickHouseConnection final : public IConnection {
public:
    ClickHouseConnection(ConnectionSettings settings, const StorageOpenOptions& options)
        : m_settings(settings), m_statementSeconds((options.statementTimeoutMs + 999) / 1000),
          m_maxResultRows(options.maxResultRows)
    {
        if (m_settings.cluster.empty())
            throw StorageError(StorageErrorKind::Invalid,
                               "the ClickHouse connection text names no cluster (cluster=NAME from the servers' "
                               "remote_servers): the tables are spread over it");
        // The answer is held back to the statement's end: a reply may take as long as the statement may.
        const int64_t waitSeconds = m_statementSeconds > 0 ? m_statementSeconds + 10 : 600;
        m_flight->client = std::make_shared<HttpClient>(m_settings, ReadPassword(m_settings),
                                                        static_cast<int>(std::min<int64_t>(waitSeconds, 86400)));
        std::random_device seed;
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "corvane-%08x%08x-", seed(), seed());
        m_idPrefix = prefix;
        // A server that cannot be reached or refuses the login fails the open, not the first query.
        Run("SELECT 1");
    }

    const IDialect& Dialect() const override { return clickhouse::Dialect(); }
    std::unique_ptr<IStatement> Prepare(std::string_view sql) override;
    void Execute(std::string_view sql) override { Run(BindValues(sql, {})); }

    void Interrupt() noexcept override
    {
        std::lock_guard lock(m_flight->mutex);
        m_flight->interrupted = true;
        if (m_flight->running.empty()) return;
        try {
            std::thread(KillWhileRunning, m_flight, m_flight->server, m_flight->running).detach();
            ++m_flight->killers;
        } catch (...) {
            // No thread: the statement ends at its time limit.
        }
    }

    void ClearInterrupt() noexcept override
    {
        // A kill still on its way must not stop the next statement.
        std::unique_lock lock(m_flight->mutex);
        m_flight->changed.wait(lock, [&] { return m_flight->killers == 0; });
        m_flight->interrupted = false;
    }

    // Nothing to trade: every insert is written once, and there are no statistics to refresh.
    void PrepareForBulkLoad() override {}
    void FinishBulkLoad() override {}

    std::unique_ptr<IBulkWriter> BulkInsert(std::string_view table, const std::vector<std::string>& columns,
                                            int64_t batchRows) override;
    void CreateOwnSchema(const CountersTableLayout& counters) override;
    void KeepCounters(const CountersTableLayout& counters, const std::vector<CountedSelection>& selections,
                      const std::vector<std::pair<std::string, std::string>>& state) override;

    /// Runs a statement whose values are literals where its kind belongs.
    Answer Run(const std::string& sql)
    {
        switch (KindOf(sql)) {
            case StatementKind::Transaction:
                return {};
            case StatementKind::Schema:
                for (size_t server = 0; server < m_flight->client->Servers(); ++server) RunOn(server, sql, {});
                return {};
            case StatementKind::Read:
                return RunAnywhere(sql, true);
            case StatementKind::Write:
                return RunAnywhere(sql, false);
        }
        return {};
    }

private:
    Answer RunAnywhere(const std::string& sql, bool read)
    {
        // The first server that can be reached coordinates; it reads every shard, so a shard that is down
        // fails the statement there rather than leaving it out.
        const size_t servers = m_flight->client->Servers();
        const size_t first = m_server;
        for (size_t tried = 0;; ++tried) {
            const size_t server = (first + tried) % servers;
            try {
                Answer answer = RunOnce(server, sql, read);
                m_server = server;
                return answer;
            } catch (const Unreachable&) {
                if (tried + 1 == servers) throw;
            }
        }
    }

    Answer RunOnce(size_t server, const std::string& sql, bool read)
    {
        QuerySettings settings;
        if (read && m_maxResultRows > 0) {
            // The caller fails past this many rows anyway; the server stops sending there.
            settings.emplace_back("max_result_rows", std::to_string(m_maxResultRows));
            settings.emplace_back("result_overflow_mode", "break");
        }
        if (!read) {
            // Rows are on their shards when the insert returns.
            settings.emplace_back("insert_distributed_sync", "1");
        }
        const auto started = std::chrono::steady_clock::now();
        try {
            return RunOn(server, sql, settings);
        } catch (const ServerError& error) {
            // A stale connection fails at once; a shard that timed out would only time out again.
            if (!read || (error.Code() != kShardConnectionFailed && error.Code() != kShardNetworkError) ||
                std::chrono::steady_clock::now() - started > kStaleConnectionFailsWithin)
                throw;
        }
        return RunOn(server, sql, settings);
    }

    Answer RunOn(size_t server, const std::string& sql, QuerySettings settings)
    {
        if (m_statementSeconds > 0) settings.emplace_back("max_execution_time", std::to_string(m_statementSeconds));
        const std::string id = m_idPrefix + std::to_string(++m_statements);
        {
            std::lock_guard lock(m_flight->mutex);
            if (m_flight->interrupted)
                throw StorageError(StorageErrorKind::Interrupted, "the statement was interrupted");
            m_flight->running = id;
            m_flight->server = server;
        }
        const auto landed = [&] {
            std::lock_guard lock(m_flight->mutex);
            m_flight->running.clear();
            m_flight->changed.notify_all();
            return m_flight->interrupted;
        };
        try {
            Answer answer = m_flight->client->Run(server, sql, id, settings);
            if (landed()) throw StorageError(StorageErrorKind::Interrupted, "the statement was interrupted");
            return answer;
        } catch (const StorageError& error) {
            if (error.Kind() == StorageErrorKind::Interrupted) throw;
            if (landed()) throw StorageError(StorageErrorKind::Interrupted, "the statement was interrupted");
            throw;
        }
    }

    std::string DistributedEngine(const std::string& local, const std::string& shardingKey) const
    {
        return "ENGINE = Distributed(" + QuoteString(m_settings.cluster) + ", " + QuoteString(m_settings.database) +
               ", " + QuoteString(local) + ", " + shardingKey + ")";
    }

    std::string CountersTable(const CountersTableLayout& counters) const;
    // The progress of each server's own counters, read from whichever server answers.
    static std::string StateTable()
    {
        return "CREATE TABLE IF NOT EXISTS " + Quote(kAggregationStateTable) + " (" + Quote("Key") + " String, " +
               Quote("Value") + " String) ENGINE = TinyLog";
    }
    std::string CountingSelect(const CountersTableLayout& counters, const CountedSelection& selection,
                               bool existing) const;

    const ConnectionSettings m_settings;
    const int64_t m_statementSeconds;
    const int64_t m_maxResultRows;
    std::shared_ptr<Flight> m_flight = std::make_shared<Flight>();
    std::string m_idPrefix;
    uint64_t m_statements = 0;
    size_t m_server = 0;
};

// Runs at the first step, with the values bound so far (the statement's columns are known only from
// its answer); binding again runs it anew.
class ClickHouseStatement final : public IStatement {
public:
    ClickHouseStatement(ClickHouseConnection& connection, std::string sql)
        : m_connection(connection), m_sql(std::move(sql)), m_values(CountPlaceholders(m_sql))
    {
    }

    void Bind(size_t index, const SqlValue& value) override
    {
        if (index < 1 || index > m_values.size())
            throw StorageError(StorageErrorKind::Invalid, "parameter " + std::to_string(index) + " is out of range (1.." +
                                                              std::to_string(m_values.size()) + ")");
        m_values[index - 1] = value;
        m_answer.reset();
    }

    bool Next() override
    {
        const Answer& answer = Ran();
        if (m_row <= answer.rows.size()) ++m_row;
        return m_row <= answer.rows.size();
    }

    size_t ColumnCount() const override { return Ran().names.size(); }
    std::string ColumnName(size_t column) const override
    {
        const Answer& answer = Ran();
        return column < answer.names.size() ? answer.names[column] : "";
    }
    SqlValue Column(size_t column) const override
    {
        if (!m_answer || m_row == 0 || m_row > m_answer->rows.size()) return std::monostate{};
        const std::vector<SqlValue>& row = m_answer->rows[m_row - 1];
        return column < row.size() ? row[column] : std::monostate{};
    }
    void Reset() override { m_answer.reset(); }

private:
    const Answer& Ran() const
    {
        if (!m_answer) {
            m_answer = m_connection.Run(BindValues(m_sql, m_values));
            m_row = 0;
        }
        return *m_answer;
    }

    ClickHouseConnection& m_connection;
    const std::string m_sql;
    std::vector<SqlValue> m_values;
    mutable std::optional<Answer> m_answer;
    mutable size_t m_row = 0;  ///< 1-based row the statement stands on; 0 before the first
};

std::unique_ptr<IStatement> ClickHouseConnection::Prepare(std::string_view sql)
{
    return std::make_unique<ClickHouseStatement>(*this, std::string(sql));
}

// Rows as TabSeparated through the Distributed table, in pieces; a load into the records that leaves out
// their key numbers the rows after the highest there is (the engine hands out no keys).
class ClickHouseWriter final : public IBulkWriter {
public:
    ClickHouseWriter(ClickHouseConnection& connection, std::string_view table, const std::vector<std::string>& columns,
                     int64_t batchRows)
        : m_connection(connection), m_batchRows(std::max<int64_t>(batchRows, 1)), m_columns(columns.size())
    {
        std::string names;
        for (const std::string& column : columns) names += (names.empty() ? "" : ", ") + Quote(column);
        if (table == kAuditRecordsTable) {
            const Answer last =
                connection.Run("SELECT max(" + Quote(RecordColumns::kId) + "), count() FROM " + Quote(table));
            const auto number = [&](size_t column) {
                const SqlValue value = last.rows.empty() ? SqlValue{} : last.rows[0].at(column);
                return std::holds_alternative<int64_t>(value) ? std::get<int64_t>(value) : 0;
            };
            m_startedEmpty = number(1) == 0;
            if (std::find(columns.begin(), columns.end(), RecordColumns::kId) == columns.end()) {
                m_nextId = number(0) + 1;
                names = Quote(RecordColumns::kId) + ", " + names;
            }
        }
        m_insert = "INSERT INTO " + Quote(table) + " (" + names + ") FORMAT TabSeparated\n";
    }

    // There are no transactions: a load into empty records that fails half way takes back the rows it
    // sent, unless views have counted them already (then they stay, and are counted).
    ~ClickHouseWriter() override
    {
        if (m_finished || !m_sent || !m_startedEmpty) return;
        try {
            const Answer views = m_connection.Run(
                "SELECT count() FROM system.tables WHERE database = currentDatabase() AND engine = 'MaterializedView'");
            if (!views.rows.empty() && views.rows[0].at(0) == SqlValue(int64_t{0}))
                m_connection.Run("TRUNCATE TABLE " + Quote(std::string(kAuditRecordsTable) + kLocalSuffix));
        } catch (...) {
        }
    }

    void Add(const std::vector<SqlValue>& row) override
    {
        if (m_finished) throw StorageError(StorageErrorKind::Invalid, "the load has finished");
        if (row.size() != m_columns)
            throw StorageError(StorageErrorKind::Invalid, "a row of " + std::to_string(row.size()) + " values for " +
                                                              std::to_string(m_columns) + " columns");
        if (m_nextId) m_rows += std::to_string((*m_nextId)++) + '\t';
        for (size_t i = 0; i < row.size(); ++i) {
            if (i) m_rows += '\t';
            AppendCell(m_rows, row[i]);
        }
        m_rows += '\n';
        if (++m_pending == m_batchRows || m_rows.size() >= kMostBatchBytes) Send();
    }

    void Finish() override
    {
        if (m_finished) return;
        if (m_pending) Send();
        m_finished = true;
    }

private:
    void Send()
    {
        m_sent = true;
        m_connection.Run(m_insert + m_rows);
        m_rows.clear();
        m_pending = 0;
    }

    ClickHouseConnection& m_connection;
    const int64_t m_batchRows;
    const size_t m_columns;
    std::optional<int64_t> m_nextId;
    std::string m_insert;
    std::string m_rows;
    int64_t m_pending = 0;
    bool m_finished = false;
    bool m_sent = false;
    bool m_startedEmpty = false;
};

std::unique_ptr<IBulkWriter> ClickHouseConnection::BulkInsert(std::string_view table,
                                                              const std::vector<std::string>& columns, int64_t batchRows)
{
    return std::make_unique<ClickHouseWriter>(*this, table, columns, batchRows);
}

std::string ClickHouseConnection::CountersTable(const CountersTableLayout& counters) const
{
    const auto q = [](const std::string& name) { return Quote(name); };
    // The id says nothing here (rows are summed by their key): a column that reads 0 and is never written.
    // Counts are unsigned, as COUNT(*) is: a sum of counters and a count of records add up in one union.
    std::string columns = q(counters.idColumn) + " UInt64 ALIAS 0, " + q(counters.maskColumn) + " Int64, " +
                          q(counters.conditionIdColumn) + " Int64, " + q(counters.countColumn) + " UInt64, " +
                          q(counters.timestampColumn) + " Int64, " + q(counters.spanColumn) + " Int64";
    std::string key = q(counters.maskColumn) + ", " + q(counters.conditionIdColumn) + ", " + q(counters.spanColumn) +
                      ", " + q(counters.timestampColumn);
    for (const std::string& column : counters.groupColumns) {
        columns += ", " + q(column) + " String";
        key += ", " + q(column);
    }
    return "CREATE TABLE IF NOT EXISTS " + q(counters.table + kLocalSuffix) + " (" + columns +
           ") ENGINE = SummingMergeTree((" + q(counters.countColumn) + ")) ORDER BY (" + key +
           ") SETTINGS index_granularity = " + std::to_string(kCountersGranularity);
}

void ClickHouseConnection::CreateOwnSchema(const CountersTableLayout& counters)
{
    using namespace RecordColumns;
    const std::string records = std::string(kAuditRecordsTable) + kLocalSuffix;
    std::string columns = Quote(kId) + " UInt64";
    for (const std::string& column : AuditRecordColumns())
        columns += ", " + Quote(column) + (column == kWhen || column == kAuditingSystem ? " Int64" : " String");
    // Every read of the dashboard is a time range: the records are in time order, a part per month.
    Run("CREATE TABLE IF NOT EXISTS " + Quote(records) + " (" + columns + ") ENGINE = MergeTree() PARTITION BY " +
        "toYYYYMM(toDateTime(" + Quote(kWhen) + ")) ORDER BY (" + Quote(kWhen) + ", " + Quote(kId) + ")");
    Run("CREATE TABLE IF NOT EXISTS " + Quote(kAuditRecordsTable) + " AS " + Quote(records) + " " +
        DistributedEngine(records, Quote(kId)));
    Run(CountersTable(counters));
    Run("CREATE TABLE IF NOT EXISTS " + Quote(counters.table) + " AS " + Quote(counters.table + kLocalSuffix) + " " +
        DistributedEngine(counters.table + kLocalSuffix, "rand()"));
    Run(StateTable());
}

// One group and preset counted into every span at once, each record into the bucket its time falls in,
// the group columns it does not fill left empty. A view counts each insert, a row per record and span;
// the records already there are counted per hour first (a row per hour and group), then into the spans.
// A materialized view of this version knows its table only by name, takes no subquery, and its aliases
// stand for their expressions everywhere in it: the records are named by their table, and the counters'
// names must not be theirs.
std::string ClickHouseConnection::CountingSelect(const CountersTableLayout& counters, const CountedSelection& selection,
                                                 bool existing) const
{
    const std::string records = Quote(std::string(kAuditRecordsTable) + kLocalSuffix);
    const std::string when = records + "." + Quote(RecordColumns::kWhen);
    const std::string span = Quote(counters.spanColumn);
    const auto bucket = [](const std::string& time, const std::string& length) {
        return "(" + time + " - ((" + time + " % " + length + ") + " + length + ") % " + length + ")";
    };
    std::string spans;
    for (const int64_t length : kCounterSpans) spans += (spans.empty() ? "" : ", ") + std::to_string(length);
    const std::string condition =
        Requalify(BindValues(selection.condition, selection.parameters), Quote(selection.alias), records);
    std::vector<std::string> sources;
    for (const std::string& column : counters.groupColumns) {
        const auto source = std::find_if(selection.columns.begin(), selection.columns.end(),
                                         [&](const auto& pair) { return pair.second == column; });
        sources.push_back(source == selection.columns.end() ? "''" : records + "." + Quote(source->first));
    }
    const std::string time = existing ? "corvane_hour" : when;
    std::string select = "SELECT toInt64(" + std::to_string(selection.mask) + ") AS " + Quote(counters.maskColumn) +
                         ", toInt64(" + std::to_string(selection.conditionId) + ") AS " +
                         Quote(counters.conditionIdColumn) + ", " + span + ", " + bucket(time, span) + " AS " +
                         Quote(counters.timestampColumn) + ", " + (existing ? "sum(corvane_count)" : "count()") +
                         " AS " + Quote(counters.countColumn);
    std::string groups = span + ", " + Quote(counters.timestampColumn);
    std::string hourly = "SELECT " + bucket(when, std::to_string(kHourSpan)) + " AS corvane_hour, count() AS corvane_count";
    std::string hourlyGroups = "corvane_hour";
    for (size_t i = 0; i < sources.size(); ++i) {
        const std::string inner = "corvane_group" + std::to_string(i);
        select += ", " + (existing ? inner : sources[i]) + " AS " + Quote(counters.groupColumns[i]);
        groups += ", " + Quote(counters.groupColumns[i]);
        hourly += ", " + sources[i] + " AS " + inner;
        hourlyGroups += ", " + inner;
    }
    const std::string from = existing ? "(" + hourly + " FROM " + records + " WHERE (" + condition + ") GROUP BY " +
                                            hourlyGroups + ")"
                                      : records;
    return select + " FROM " + from + " ARRAY JOIN CAST([" + spans + "] AS Array(Int64)) AS " + span +
           (existing ? "" : " WHERE (" + condition + ")") + " GROUP BY " + groups;
}

void ClickHouseConnection::KeepCounters(const CountersTableLayout& counters,
                                        const std::vector<CountedSelection>& selections,
                                        const std::vector<std::pair<std::string, std::string>>& state)
{
    std::set<std::string> recordNames{RecordColumns::kId};
    for (const std::string& column : AuditRecordColumns()) recordNames.insert(column);
    std::vector<std::string> written{counters.maskColumn, counters.conditionIdColumn, counters.countColumn,
                                     counters.timestampColumn, counters.spanColumn};
    written.insert(written.end(), counters.groupColumns.begin(), counters.groupColumns.end());
    for (const std::string& name : written)
        if (recordNames.count(name))
            throw StorageError(StorageErrorKind::Invalid,
                               "the counters column '" + name +
                                   "' has the name of a records column: ClickHouse's materialized views would "
                                   "read one for the other; give it another name");
    const std::string local = counters.table + kLocalSuffix;
    const std::string prefix = counters.table + kViewInfix;
    std::string rows;
    for (const auto& [key, value] : state) rows += (rows.empty() ? "(" : ", (") + QuoteString(key) + ", " + QuoteString(value) + ")";
    const size_t servers = m_flight->client->Servers();
    // No server claims any progress until the counters are whole again on every one: meanwhile (and
    // after a failure half way) the statements read the records alone.
    for (size_t server = 0; server < servers; ++server) {
        RunOn(server, StateTable(), {});
        RunOn(server, "TRUNCATE TABLE " + Quote(kAggregationStateTable), {});
    }
    for (size_t server = 0; server < servers; ++server) {
        const auto run = [&](const std::string& sql) { return RunOn(server, sql, {}); };
        const Answer views = run("SELECT name FROM system.tables WHERE database = currentDatabase() AND substring(name, 1, " +
                                 std::to_string(prefix.size()) + ") = " + QuoteString(prefix));
        for (const std::vector<SqlValue>& view : views.rows)
            if (const auto* name = std::get_if<std::string>(&view.at(0))) run("DROP TABLE IF EXISTS " + Quote(*name));
        run("DROP TABLE IF EXISTS " + Quote(counters.table));
        run("DROP TABLE IF EXISTS " + Quote(local));
        run(CountersTable(counters));
        run("CREATE TABLE " + Quote(counters.table) + " AS " + Quote(local) + " " + DistributedEngine(local, "rand()"));
        for (const CountedSelection& selection : selections)
            run("CREATE MATERIALIZED VIEW " +
                Quote(prefix + std::to_string(selection.mask) + "_" + std::to_string(selection.conditionId)) + " TO " +
                Quote(local) + " AS " + CountingSelect(counters, selection, false));
        // An insert of a select fills the columns in the select's order, a view by their names.
        std::string columns = Quote(counters.maskColumn) + ", " + Quote(counters.conditionIdColumn) + ", " +
                              Quote(counters.spanColumn) + ", " + Quote(counters.timestampColumn) + ", " +
                              Quote(counters.countColumn);
        for (const std::string& column : counters.groupColumns) columns += ", " + Quote(column);
        for (const CountedSelection& selection : selections)
            run("INSERT INTO " + Quote(local) + " (" + columns + ") " + CountingSelect(counters, selection, true));
    }
    if (!rows.empty())
        for (size_t server = 0; server < servers; ++server)
            RunOn(server, "INSERT INTO " + Quote(kAggregationStateTable) + " VALUES " + rows, {});
}

std::unique_ptr<IConnection> Open(const std::string& text, const StorageOpenOptions& options)
{
    return std::make_unique<ClickHouseConnection>(ParseConnection(text), options);
}

const IDialect& DialectOf() noexcept { return clickhouse::Dialect(); }

std::string CheckConnection(const std::string& text) { return ConnectionProblem(text); }

}  // namespace

StorageBackend ClickHouseBackend() noexcept { return {"clickhouse", &Open, &DialectOf, &CheckConnection}; }

}  // namespace cvn::reporting
