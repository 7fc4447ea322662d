// The ClickHouse dialect.
#include "host/reporting/storage/clickhouse/ClickHouseDialect.h"

namespace cvn::reporting::clickhouse {

namespace {

class ClickHouseDialect final : public IDialect {
public:
    // Backquotes; a backslash escapes inside them, so both are escaped.
    std::string QuoteIdentifier(std::string_view name) const override
    {
        std::string quoted = "`";
        for (const char c : name) {
            if (c == '`' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return quoted + '`';
    }

    // Aliases here stand for their expressions in the whole select, conditions included.
    std::string ResultAlias(std::string_view attribute) const override
    {
        return QuoteIdentifier("Result_" + std::string(attribute));
    }

    std::string Placeholder(size_t index) const override { return "$" + std::to_string(index); }

    std::string LimitClause(int64_t limit, int64_t offset) const override
    {
        // An offset needs a limit here, and a limit near the top of Int64 breaks LIMIT in this version:
        // 2^40 rows is more than any answer of ours.
        constexpr int64_t kMostRows = int64_t{1} << 40;
        if (limit < 0 && offset <= 0) return "";
        std::string clause = "LIMIT " + std::to_string(limit < 0 || limit > kMostRows ? kMostRows : limit);
        if (offset > 0) clause += " OFFSET " + std::to_string(offset);
        return clause;
    }

    std::string TruncateTime(std::string_view column, int64_t offsetSeconds, std::string_view part) const override
    {
        // "/" divides as floats here; intDiv truncates towards zero as SQLite's integer division does.
        const std::string shifted = "(" + std::string(column) + " + " + std::to_string(offsetSeconds) + ")";
        const auto whole = [&](int64_t seconds) {
            return "(intDiv(" + shifted + ", " + std::to_string(seconds) + ") * " + std::to_string(seconds) + ")";
        };
        // toStartOfMonth and toStartOfYear give a Date, which toUnixTimestamp would read as days.
        const auto calendar = [&](const char* function) {
            return std::string("toInt64(toUnixTimestamp(toDateTime(") + function + "(toDateTime(" + shifted +
                   ", 'UTC')), 'UTC')))";
        };
        if (part == "second") return shifted;
        if (part == "minute") return whole(60);
        if (part == "hour") return whole(3600);
        if (part == "day") return whole(86400);
        if (part == "month") return calendar("toStartOfMonth");
        if (part == "year") return calendar("toStartOfYear");
        throw StorageError(StorageErrorKind::Invalid, "unknown time part '" + std::string(part) + "'");
    }

    std::string IntegerType() const override { return "Int64"; }
    std::string TextType() const override { return "String"; }
    // Keys are given by the writer: the engine has no counter to hand them out.
    std::string GeneratedKeyColumn() const override { return "UInt64"; }

    std::string CreateViewIfAbsent(std::string_view view, std::string_view select) const override
    {
        return "CREATE VIEW IF NOT EXISTS " + QuoteIdentifier(view) + " AS " + std::string(select);
    }

    // No updates in place: the table keeps the newest row per key (ReplacingMergeTree) and readers take
    // the latest, so an insert is the upsert.
    std::string UpsertStatement(std::string_view table, const std::vector<std::string>& keys,
                                const std::vector<std::string>& values) const override
    {
        std::vector<std::string> columns = keys;
        columns.insert(columns.end(), values.begin(), values.end());
        return "INSERT INTO " + QuoteIdentifier(table) + " " + ColumnsAndValues(*this, columns);
    }

    // No transactions: the connection takes these as statements that do nothing.
    std::string BeginWriteTransaction() const override { return "BEGIN"; }
    std::string BeginSnapshotTransaction() const override { return "BEGIN"; }
    std::string KeyOnlyAccessHint() const override { return ""; }
    bool CountsInDatabase() const override { return true; }
    // Materialized views count each record as it is inserted.
    bool KeepsCounters() const override { return true; }
    // Each select of a union reads every shard over the network: one select reads them all at once.
    bool CombinesRanges() const override { return true; }
};

}  // namespace

const IDialect& Dialect() noexcept
{
    static const ClickHouseDialect dialect;
    return dialect;
}

}  // namespace cvn::reporting::clickhouse
