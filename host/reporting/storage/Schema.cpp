// Creation of the reporting tables and indexes; names come from the metrics
// configuration and are always quoted by the connection's dialect.
#include "host/reporting/storage/Schema.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "common/ErrorHandling/ErrorObjects.h"

namespace cvn::reporting {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

void CheckNames(const CountersTableLayout& layout)
{
    if (layout.table.empty()) ThrowHrWithDescription(kHrInvalidData, "the counters table name is empty");
    std::set<std::string> seen;
    const auto check = [&](const std::string& name, const char* what) {
        if (name.empty())
            ThrowHrWithDescription(kHrInvalidData, std::string("the counters column ") + what + " is empty");
        if (!seen.insert(Lower(name)).second)
            ThrowHrWithDescription(kHrInvalidData, "the counters column name '" + name + "' is used twice");
    };
    check(layout.idColumn, "IdColumnName");
    check(layout.maskColumn, "MaskColumnName");
    check(layout.conditionIdColumn, "ConditionIdColumnName");
    check(layout.countColumn, "CountColumnName");
    check(layout.timestampColumn, "TimestampColumnName");
    check(layout.spanColumn, "SpanColumnName");
    for (const std::string& column : layout.groupColumns) check(column, "in GroupColumns");
}

std::string IndexStatement(const IDialect& dialect, const std::string& index, const std::string& table,
                           const std::vector<std::string>& columns)
{
    std::string sql =
        "CREATE INDEX IF NOT EXISTS " + dialect.QuoteIdentifier(index) + " ON " + dialect.QuoteIdentifier(table) + " (";
    for (size_t i = 0; i < columns.size(); ++i) sql += (i ? ", " : "") + dialect.QuoteIdentifier(columns[i]);
    return sql + ")";
}

/// Counters of an older layout had hourly rows only and no span column: they are derived data, so
/// they go, with the progress that described them, and the aggregator counts them anew.
void DropCountersWithoutSpan(IConnection& connection, const CountersTableLayout& counters)
{
    const IDialect& d = connection.Dialect();
    try {
        connection.Prepare("SELECT * FROM " + d.QuoteIdentifier(counters.table) + " WHERE 1=0");
    } catch (const StorageError&) {
        return;  // no counters table yet
    }
    try {
        // Qualified: an unknown quoted name alone may be read as a string literal.
        connection.Prepare("SELECT " + d.QuoteIdentifier(counters.table) + "." + d.QuoteIdentifier(counters.spanColumn) +
                           " FROM " + d.QuoteIdentifier(counters.table) + " WHERE 1=0");
    } catch (const StorageError&) {
        connection.Execute("DROP TABLE " + d.QuoteIdentifier(counters.table));
        connection.Execute("DROP TABLE IF EXISTS " + d.QuoteIdentifier(kAggregationStateTable));
    }
}

}  // namespace

const std::vector<std::string>& AuditRecordColumns()
{
    using namespace RecordColumns;
    static const std::vector<std::string> columns{
        kWhen,  kProductId,  kAuditingSystem, kDataSource, kManagedObjectUId, kManagedObject, kWho,
        kWhere, kObjectType, kWhatAction,     kWhat};
    return columns;
}

CountersTableLayout CountersTableLayoutFromMetrics(const QxNodePtr& metrics)
{
    if (!metrics) ThrowHrWithDescription(kHrNotFound, "no metrics configuration node was given");
    CountersTableLayout layout;
    layout.table = metrics.GetAttributeOr<std::string>("CountersTableName", kDefaultCountersTableName);
    layout.idColumn = metrics.GetRequiredAttribute<std::string>("IdColumnName");
    layout.maskColumn = metrics.GetRequiredAttribute<std::string>("MaskColumnName");
    layout.conditionIdColumn = metrics.GetRequiredAttribute<std::string>("ConditionIdColumnName");
    layout.countColumn = metrics.GetRequiredAttribute<std::string>("CountColumnName");
    layout.timestampColumn = metrics.GetRequiredAttribute<std::string>("TimestampColumnName");
    layout.spanColumn = metrics.GetAttributeOr<std::string>("SpanColumnName", kDefaultSpanColumnName);
    layout.groupColumns = metrics.GetRequiredAttribute<std::vector<std::string>>("GroupColumns");
    CheckNames(layout);
    return layout;
}

void CreateReportingSchema(IConnection& connection, const CountersTableLayout& counters, bool withIndexes)
{
    CheckNames(counters);
    const IDialect& d = connection.Dialect();
    if (d.KeepsCounters()) {
        connection.CreateOwnSchema(counters);
        return;
    }
    const auto q = [&](const std::string& name) { return d.QuoteIdentifier(name); };

    const std::string integer = " " + d.IntegerType() + " NOT NULL";
    const std::string text = " " + d.TextType();

    std::string records = "CREATE TABLE IF NOT EXISTS " + q(kAuditRecordsTable) + " (" + q(RecordColumns::kId) + " " +
                          d.GeneratedKeyColumn();
    for (const std::string& column : AuditRecordColumns()) {
        const bool isInteger = column == RecordColumns::kWhen || column == RecordColumns::kAuditingSystem;
        records += ", " + q(column) + (isInteger ? integer : text + " NOT NULL");
    }
    records += ")";

    std::string table = "CREATE TABLE IF NOT EXISTS " + q(counters.table) + " (" + q(counters.idColumn) + " " +
                        d.GeneratedKeyColumn() + ", " + q(counters.maskColumn) + integer + ", " +
                        q(counters.conditionIdColumn) + integer + ", " + q(counters.countColumn) + integer + ", " +
                        q(counters.timestampColumn) + integer + ", " + q(counters.spanColumn) + integer;
    for (const std::string& column : counters.groupColumns) table += ", " + q(column) + text;
    table += ")";

    const std::string state = "CREATE TABLE IF NOT EXISTS " + q(kAggregationStateTable) + " (" + q("Key") + text +
                              " PRIMARY KEY, " + q("Value") + text + ")";

    connection.Execute(records);
    DropCountersWithoutSpan(connection, counters);
    connection.Execute(table);
    connection.Execute(state);
    if (withIndexes) CreateReportingIndexes(connection, counters);
}

void CreateReportingIndexes(IConnection& connection, const CountersTableLayout& counters)
{
    using namespace RecordColumns;
    const IDialect& d = connection.Dialect();
    if (d.KeepsCounters()) return;  // its tables are sorted for these reads instead
    connection.Execute(IndexStatement(d, "IX_AuditRecords_When", kAuditRecordsTable, {kWhen}));
    connection.Execute(IndexStatement(d, "IX_AuditRecords_ProductId_When", kAuditRecordsTable, {kProductId, kWhen}));
    connection.Execute(
        IndexStatement(d, "IX_AuditRecords_ManagedObjectUId_When", kAuditRecordsTable, {kManagedObjectUId, kWhen}));
    // Every read of the counters names a mask, a condition id, a span and a time range: this index
    // holds all it reads, in bucket order, so the table itself is never visited.
    std::vector<std::string> covering{counters.maskColumn, counters.conditionIdColumn, counters.spanColumn,
                                      counters.timestampColumn};
    covering.insert(covering.end(), counters.groupColumns.begin(), counters.groupColumns.end());
    covering.push_back(counters.countColumn);
    connection.Execute(IndexStatement(d, "IX_" + counters.table + "_Buckets", counters.table, covering));
}

}  // namespace cvn::reporting
