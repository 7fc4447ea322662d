// Counting records into the overview counters (see MetricsAggregator.h).
#include "host/reporting/metrics/MetricsAggregator.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "host/reporting/query/QueryTemplates.h"
#include "host/reporting/query/QueryValues.h"

namespace cvn::reporting {

namespace {

constexpr int64_t kHour = 3600;
constexpr const char* kStartKey = "MetricsStartTime";
constexpr const char* kLastIdKey = "LastRecordId";
constexpr const char* kDefinitionKey = "MetricsDefinition";

int64_t HourOf(int64_t seconds) { return (seconds >= 0 ? seconds : seconds - (kHour - 1)) / kHour * kHour; }

std::optional<int64_t> AsInteger(const SqlValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value)) return *number;
    if (const auto* text = std::get_if<std::string>(&value)) {
        try {
            return std::stoll(*text);
        } catch (...) {
        }
    }
    return std::nullopt;
}

}  // namespace

MetricsAggregator::MetricsAggregator(IConnection& connection, const QxNodePtr& metrics, const QueryTranslator& translator,
                                     std::string recordsTemplate, IConfigStorage* statusStore)
    : m_connection(connection),
      m_translator(translator),
      m_recordsTemplate(std::move(recordsTemplate)),
      m_statusStore(statusStore),
      m_table(CountersTableLayoutFromMetrics(metrics)),
      m_groups(ReadAggregatedGroups(metrics))
{
    m_definition = m_table.table + "(" + m_table.idColumn + "," + m_table.maskColumn + "," + m_table.conditionIdColumn +
                   "," + m_table.countColumn + "," + m_table.timestampColumn;
    for (const std::string& column : m_table.groupColumns) m_definition += "," + column;
    m_definition += ")";
    for (const AggregatedGroup& group : m_groups) {
        m_definition += ";" + std::to_string(group.mask) + ":";
        for (const auto& [logical, column] : group.columns) m_definition += logical + "=" + column + ",";
        for (const auto& [id, preset] : group.presets) m_definition += std::to_string(id) + "=" + preset.ToText(0, 0) + ",";
    }
    // Translate every preset once now, so a preset the records template cannot express fails here.
    for (const AggregatedGroup& group : m_groups) {
        for (const auto& [id, preset] : group.presets) {
            std::vector<SqlValue> params;
            m_translator.TranslateCondition(preset, m_recordsTemplate, params);
        }
    }
}

std::optional<int64_t> MetricsAggregator::StartTime() const
{
    auto statement = m_connection.Prepare("SELECT " + m_connection.Dialect().QuoteIdentifier("Value") + " FROM " +
                                          m_connection.Dialect().QuoteIdentifier(kAggregationStateTable) + " WHERE " +
                                          m_connection.Dialect().QuoteIdentifier("Key") + " = " +
                                          m_connection.Dialect().Placeholder(1));
    statement->Bind(1, std::string(kStartKey));
    return statement->Next() ? AsInteger(statement->Column(0)) : std::nullopt;
}

MetricsAggregator::State MetricsAggregator::LoadState(int64_t now)
{
    const IDialect& sql = m_connection.Dialect();
    State state;
    state.startTime = HourOf(now);
    bool haveStart = false;
    std::string definition;
    auto statement = m_connection.Prepare("SELECT " + sql.QuoteIdentifier("Key") + ", " + sql.QuoteIdentifier("Value") +
                                          " FROM " + sql.QuoteIdentifier(kAggregationStateTable));
    while (statement->Next()) {
        const SqlValue key = statement->Column(0);
        const SqlValue text = statement->Column(1);
        const std::optional<int64_t> value = AsInteger(text);
        const auto* name = std::get_if<std::string>(&key);
        if (!name) continue;
        if (*name == kDefinitionKey && std::holds_alternative<std::string>(text)) definition = std::get<std::string>(text);
        if (!value) continue;
        if (*name == kStartKey) {
            state.startTime = *value;
            haveStart = true;
        }
        if (*name == kLastIdKey) state.lastRecordId = *value;
    }
    statement.reset();
    if (definition != m_definition) {
        // Counters of other groups, presets or columns would be summed as if they were these: the
        // counters are derived data, so they are made again from the records.
        if (haveStart)
            CV_LOG(Warn, "MetricsAggregator: the counters in " << m_table.table
                                                               << " were made for another metrics configuration; "
                                                                  "they are dropped and counted anew");
        m_connection.Execute("DROP TABLE IF EXISTS " + sql.QuoteIdentifier(m_table.table));
        m_connection.Execute("DELETE FROM " + sql.QuoteIdentifier(kAggregationStateTable));
        CreateReportingSchema(m_connection, m_table);
        return State{HourOf(now), 0};
    }
    if (!haveStart) state.lastRecordId = 0;
    return state;
}

void MetricsAggregator::SaveState(const State& state)
{
    const IDialect& sql = m_connection.Dialect();
    for (const auto& [key, value] : {std::pair{kStartKey, std::to_string(state.startTime)},
                                     std::pair{kLastIdKey, std::to_string(state.lastRecordId)},
                                     std::pair{kDefinitionKey, m_definition}}) {
        auto statement = m_connection.Prepare(sql.UpsertStatement(kAggregationStateTable, {"Key"}, {"Value"}));
        statement->Bind(1, std::string(key));
        statement->Bind(2, value);
        while (statement->Next()) {
        }
    }
}

void MetricsAggregator::CountRange(int64_t from, int64_t till)
{
    const IDialect& sql = m_connection.Dialect();
    const auto q = [&](const std::string& name) { return sql.QuoteIdentifier(name); };
    const std::string table = q(m_table.table);
    auto erase = m_connection.Prepare("DELETE FROM " + table + " WHERE " + q(m_table.timestampColumn) + " >= " +
                                      sql.Placeholder(1) + " AND " + q(m_table.timestampColumn) + " < " + sql.Placeholder(2));
    erase->Bind(1, from);
    erase->Bind(2, till);
    while (erase->Next()) {
    }
    const std::string when = q(kMainTableAlias) + "." + q(RecordColumns::kWhen);
    const std::string hour = sql.TruncateTime(when, 0, "hour");
    for (const AggregatedGroup& group : m_groups) {
        std::string targets = q(m_table.maskColumn) + ", " + q(m_table.conditionIdColumn) + ", " + q(m_table.timestampColumn);
        std::string sources = sql.Placeholder(1) + ", " + sql.Placeholder(2) + ", " + hour;
        std::string grouping = hour;
        for (const auto& [logical, column] : group.columns) {
            targets += ", " + q(column);
            sources += ", " + q(kMainTableAlias) + "." + q(logical);
            grouping += ", " + q(kMainTableAlias) + "." + q(logical);
        }
        for (const auto& [id, preset] : group.presets) {
            std::vector<SqlValue> params{int64_t{group.mask}, id, from, till};
            const std::string condition = m_translator.TranslateCondition(preset, m_recordsTemplate, params);
            auto insert = m_connection.Prepare(
                "INSERT INTO " + table + " (" + targets + ", " + q(m_table.countColumn) + ") SELECT " + sources +
                ", COUNT(*) FROM " + q(kAuditRecordsTable) + " AS " + q(kMainTableAlias) + " WHERE " + when + " >= " +
                sql.Placeholder(3) + " AND " + when + " < " + sql.Placeholder(4) + " AND " + condition + " GROUP BY " + grouping);
            for (size_t i = 0; i < params.size(); ++i) insert->Bind(i + 1, params[i]);
            while (insert->Next()) {
            }
        }
    }
}

template <class Work>
int64_t MetricsAggregator::InTransaction(Work&& work)
{
    m_connection.Execute(m_connection.Dialect().BeginWriteTransaction());
    State state;
    int64_t hours = 0;
    try {
        hours = work(state);
        m_connection.Execute("COMMIT");
    } catch (...) {
        try {
            m_connection.Execute("ROLLBACK");
        } catch (...) {
            CV_LOG(Err, "MetricsAggregator: rollback failed");
        }
        throw;
    }
    WriteStatus(state.startTime);
    return hours;
}

int64_t MetricsAggregator::Aggregate(int64_t now)
{
    return InTransaction([&](State& state) -> int64_t {
        state = LoadState(now);
        const IDialect& sql = m_connection.Dialect();
        const std::string when = sql.QuoteIdentifier(RecordColumns::kWhen);
        const std::string id = sql.QuoteIdentifier(RecordColumns::kId);
        auto touched = m_connection.Prepare("SELECT MIN(" + when + "), MAX(" + when + "), MAX(" + id + ") FROM " +
                                            sql.QuoteIdentifier(kAuditRecordsTable) + " WHERE " + id + " > " +
                                            sql.Placeholder(1) + " AND " + when + " >= " + sql.Placeholder(2));
        touched->Bind(1, state.lastRecordId);
        touched->Bind(2, state.startTime);
        int64_t hours = 0;
        if (touched->Next()) {
            const auto first = AsInteger(touched->Column(0));
            const auto last = AsInteger(touched->Column(1));
            const auto lastId = AsInteger(touched->Column(2));
            if (first && last && lastId) {
                const int64_t from = HourOf(*first);
                const int64_t till = HourOf(*last) + kHour;
                touched.reset();
                CountRange(from, till);
                hours = (till - from) / kHour;
                state.lastRecordId = *lastId;
            }
        }
        SaveState(state);
        return hours;
    });
}

int64_t MetricsAggregator::Backfill(int64_t from, int64_t now)
{
    return InTransaction([&](State& state) -> int64_t {
        state = LoadState(now);
        const int64_t start = HourOf(from);
        if (start >= state.startTime) {
            SaveState(state);
            return 0;
        }
        CountRange(start, state.startTime);
        const int64_t hours = (state.startTime - start) / kHour;
        state.startTime = start;
        SaveState(state);
        return hours;
    });
}

void MetricsAggregator::WriteStatus(int64_t startTime)
{
    if (!m_statusStore || m_writtenStart == startTime) return;
    QxNodePtr status = ReadConfigNode(*m_statusStore, kStatusPath, false);
    if (!status) status = QxNodePtr::Create("OverviewMetricsStatus");
    status.SetAttribute("StartTime", FormatUtcTime(startTime));
    WriteConfigNode(*m_statusStore, kStatusPath, status);
    m_writtenStart = startTime;
}

}  // namespace cvn::reporting
