// The door to the reporting database: settings checked against the backends
// of Backends.cpp, connections and dialects by kind.
#include "host/reporting/storage/Storage.h"

#include <algorithm>
#include <cctype>

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/storage/Backends.h"

namespace cvn::reporting {

namespace {

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

const StorageBackend& BackendOf(std::string_view kind)
{
    const std::string wanted = Lower(kind);
    for (const StorageBackend& backend : StorageBackends())
        if (wanted == backend.kind) return backend;
    std::string known;
    for (const std::string& name : StorageKinds()) known += (known.empty() ? "" : ", ") + name;
    ThrowHrWithDescription(kHrInvalidData,
                           "the storage kind '" + std::string(kind) + "' is unknown; this build knows: " + known);
}

}  // namespace

namespace {

// A prepared insert, committed every batch of rows; a load that stops keeps the batches committed.
class InsertingWriter final : public IBulkWriter {
public:
    InsertingWriter(IConnection& connection, std::string_view table, const std::vector<std::string>& columns,
                    int64_t batchRows)
        : m_connection(connection), m_batchRows(std::max<int64_t>(batchRows, 1)), m_columns(columns.size())
    {
        const IDialect& dialect = connection.Dialect();
        m_insert = connection.Prepare("INSERT INTO " + dialect.QuoteIdentifier(table) + " " +
                                      ColumnsAndValues(dialect, columns));
    }

    void Add(const std::vector<SqlValue>& row) override
    {
        if (row.size() != m_columns)
            throw StorageError(StorageErrorKind::Invalid, "a row of " + std::to_string(row.size()) +
                                                              " values for " + std::to_string(m_columns) + " columns");
        if (!m_transaction) m_transaction.emplace(m_connection);
        for (size_t i = 0; i < row.size(); ++i) m_insert->Bind(i + 1, row[i]);
        m_insert->Next();
        m_insert->Reset();
        if (++m_pending == m_batchRows) Commit();
    }

    void Finish() override
    {
        if (m_transaction) Commit();
    }

private:
    void Commit()
    {
        m_transaction->Commit();
        m_transaction.reset();
        m_pending = 0;
    }

    IConnection& m_connection;
    const int64_t m_batchRows;
    const size_t m_columns;
    std::unique_ptr<IStatement> m_insert;
    std::optional<Transaction> m_transaction;
    int64_t m_pending = 0;
};

}  // namespace

std::string QuoteStandardIdentifier(std::string_view name)
{
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + '"';
}

std::string ColumnsAndValues(const IDialect& dialect, const std::vector<std::string>& columns)
{
    std::string names;
    std::string placeholders;
    for (size_t i = 0; i < columns.size(); ++i) {
        names += (i ? ", " : "") + dialect.QuoteIdentifier(columns[i]);
        placeholders += (i ? ", " : "") + dialect.Placeholder(i + 1);
    }
    return "(" + names + ") VALUES (" + placeholders + ")";
}

std::string TruncateTimeBy(std::string_view column, int64_t offsetSeconds, std::string_view part,
                           std::string (*calendar)(const std::string& shifted, const char* unit))
{
    // Integer division truncates towards zero in every database we speak to, so they all bucket alike.
    const std::string shifted = "(" + std::string(column) + " + " + std::to_string(offsetSeconds) + ")";
    const auto whole = [&](int64_t seconds) {
        return "(" + shifted + " / " + std::to_string(seconds) + " * " + std::to_string(seconds) + ")";
    };
    if (part == "second") return shifted;
    if (part == "minute") return whole(60);
    if (part == "hour") return whole(3600);
    if (part == "day") return whole(86400);
    if (part == "month") return calendar(shifted, "month");
    if (part == "year") return calendar(shifted, "year");
    throw StorageError(StorageErrorKind::Invalid, "unknown time part '" + std::string(part) + "'");
}

void IConnection::CreateOwnSchema(const CountersTableLayout&)
{
    throw StorageError(StorageErrorKind::Invalid, "this database has no tables of its own making");
}

void IConnection::KeepCounters(const CountersTableLayout&, const std::vector<CountedSelection>&,
                               const std::vector<std::pair<std::string, std::string>>&)
{
    throw StorageError(StorageErrorKind::Invalid, "this database does not keep the counters itself");
}

std::unique_ptr<IBulkWriter> IConnection::BulkInsert(std::string_view table, const std::vector<std::string>& columns,
                                                     int64_t batchRows)
{
    return std::make_unique<InsertingWriter>(*this, table, columns, batchRows);
}

std::vector<std::string> StorageKinds()
{
    std::vector<std::string> kinds;
    for (const StorageBackend& backend : StorageBackends()) kinds.emplace_back(backend.kind);
    return kinds;
}

StorageSettings ParseStorageSettings(std::string_view kind, std::string_view connection)
{
    const StorageBackend& backend = BackendOf(kind);
    StorageSettings settings{backend.kind, std::string(connection)};
    if (settings.connection.empty())
        ThrowHrWithDescription(kHrInvalidData, "the storage connection of kind '" + settings.kind + "' is empty");
    // The text itself is not repeated: what is wrong with it may be a secret in it.
    if (backend.checkConnection) {
        const std::string problem = backend.checkConnection(settings.connection);
        if (!problem.empty())
            ThrowHrWithDescription(kHrInvalidData, "the storage connection of kind '" + settings.kind + "': " + problem);
    }
    return settings;
}

StorageSettings StorageSettingsForFile(std::string path) { return {kDefaultStorageKind, std::move(path)}; }

std::optional<StorageSettings> ReadStorageSettings(const QxNodePtr& node)
{
    std::string connection;
    if (!node.GetAttribute("StorageConnection", connection) || connection.empty())
        if (!node.GetAttribute("DatabasePath", connection) || connection.empty()) return std::nullopt;
    return ParseStorageSettings(node.GetAttributeOr("StorageKind", kDefaultStorageKind), connection);
}

std::unique_ptr<IConnection> OpenStorage(const StorageSettings& settings, const StorageOpenOptions& options)
{
    return BackendOf(settings.kind).open(settings.connection, options);
}

const IDialect& DialectFor(const StorageSettings& settings) { return BackendOf(settings.kind).dialect(); }

}  // namespace cvn::reporting
