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
    m_definition = MetricsDefinition(m_table, m_groups);
    // Translate every preset once now, so a preset the records template cannot express fails here.
    for (const AggregatedGroup& group : m_groups) {
        for (const auto& [id, preset] : group.presets) {
            std::vector<SqlValue> params;
            m_translator.TranslateCondition(preset, m_recordsTemplate, params);
        }
    }
}

std::optional<int64_t> MetricsAggregator::StartTime() const { return ReadCountersCoverage(m_connection).startTime; }

MetricsAggregator::State MetricsAggregator::LoadState(int64_t now)
{
    const CountersCoverage stored = ReadCountersCoverage(m_connection);
    if (stored.definition != m_definition) {
        // Counters of other groups, presets or columns would be summed as if they were these: the
        // counters are derived data, so they are made again from the records.
        if (stored.startTime)
            CV_LOG(Warn, "MetricsAggregator: the counters in " << m_table.table
                                                               << " were made for another metrics configuration; "
                                                                  "they are dropped and counted anew");
        const IDialect& sql = m_connection.Dialect();
        m_connection.Execute("DROP TABLE IF EXISTS " + sql.QuoteIdentifier(m_table.table));
        m_connection.Execute("DELETE FROM " + sql.QuoteIdentifier(kAggregationStateTable));
        CreateReportingSchema(m_connection, m_table);
        return State{HourOf(now), 0};
    }
    if (!stored.startTime) return State{HourOf(now), 0};
    return State{*stored.startTime, stored.lastRecordId};
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

void MetricsAggregator::CountRange(int64_t from, int64_t till, int64_t lastRecordId)
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
            std::vector<SqlValue> params{int64_t{group.mask}, id, from, till, lastRecordId};
            const std::string condition = m_translator.TranslateCondition(preset, m_recordsTemplate, params);
            auto insert = m_connection.Prepare(
                "INSERT INTO " + table + " (" + targets + ", " + q(m_table.countColumn) + ") SELECT " + sources +
                ", COUNT(*) FROM " + q(kAuditRecordsTable) + " AS " + q(kMainTableAlias) + " WHERE " + when + " >= " +
                sql.Placeholder(3) + " AND " + when + " < " + sql.Placeholder(4) + " AND " + q(kMainTableAlias) + "." +
                q(RecordColumns::kId) + " <= " + sql.Placeholder(5) + " AND " + condition + " GROUP BY " + grouping);
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

int64_t MetricsAggregator::TakeInNewRecords(State& state)
{
    const IDialect& sql = m_connection.Dialect();
    const std::string when = sql.QuoteIdentifier(RecordColumns::kWhen);
    const std::string id = sql.QuoteIdentifier(RecordColumns::kId);
    const std::string records = sql.QuoteIdentifier(kAuditRecordsTable);
    // The newest id of all records, also of those before the start time: they stay uncovered, and the
    // counters then hold exactly the records up to that id for every hour from the start time on.
    auto newest = m_connection.Prepare("SELECT MAX(" + id + ") FROM " + records);
    const std::optional<int64_t> lastId = newest->Next() ? AsInteger(newest->Column(0)) : std::nullopt;
    newest.reset();
    if (!lastId || *lastId <= state.lastRecordId) return 0;
    auto touched = m_connection.Prepare("SELECT MIN(" + when + "), MAX(" + when + ") FROM " + records + " WHERE " + id +
                                        " > " + sql.Placeholder(1) + " AND " + id + " <= " + sql.Placeholder(2) +
                                        " AND " + when + " >= " + sql.Placeholder(3));
    touched->Bind(1, state.lastRecordId);
    touched->Bind(2, *lastId);
    touched->Bind(3, state.startTime);
    std::optional<int64_t> first, last;
    if (touched->Next()) {
        first = AsInteger(touched->Column(0));
        last = AsInteger(touched->Column(1));
    }
    touched.reset();
    int64_t hours = 0;
    if (first && last) {
        const int64_t from = HourOf(*first);
        const int64_t till = HourOf(*last) + kHour;
        CountRange(from, till, *lastId);
        hours = (till - from) / kHour;
    }
    state.lastRecordId = *lastId;
    return hours;
}

int64_t MetricsAggregator::Aggregate(int64_t now)
{
    return InTransaction([&](State& state) -> int64_t {
        state = LoadState(now);
        const int64_t hours = TakeInNewRecords(state);
        SaveState(state);
        return hours;
    });
}

int64_t MetricsAggregator::Backfill(int64_t from, int64_t now)
{
    return InTransaction([&](State& state) -> int64_t {
        state = LoadState(now);
        int64_t hours = TakeInNewRecords(state);
        const int64_t start = HourOf(from);
        if (start < state.startTime) {
            CountRange(start, state.startTime, state.lastRecordId);
            hours += (state.startTime - start) / kHour;
            state.startTime = start;
        }
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

std::string MetricsDefinition(const CountersTableLayout& layout, const std::vector<AggregatedGroup>& groups)
{
    std::string text = layout.table + "(" + layout.idColumn + "," + layout.maskColumn + "," + layout.conditionIdColumn +
                       "," + layout.countColumn + "," + layout.timestampColumn;
    for (const std::string& column : layout.groupColumns) text += "," + column;
    text += ")";
    for (const AggregatedGroup& group : groups) {
        text += ";" + std::to_string(group.mask) + ":";
        for (const auto& [logical, column] : group.columns) text += logical + "=" + column + ",";
        for (const auto& [id, preset] : group.presets) text += std::to_string(id) + "=" + preset.ToText(0, 0) + ",";
    }
    return text;
}

CountersCoverage ReadCountersCoverage(IConnection& connection)
{
    const IDialect& sql = connection.Dialect();
    CountersCoverage coverage;
    auto statement = connection.Prepare("SELECT " + sql.QuoteIdentifier("Key") + ", " + sql.QuoteIdentifier("Value") +
                                        " FROM " + sql.QuoteIdentifier(kAggregationStateTable));
    while (statement->Next()) {
        const SqlValue key = statement->Column(0);
        const SqlValue text = statement->Column(1);
        const auto* name = std::get_if<std::string>(&key);
        if (!name) continue;
        if (*name == kDefinitionKey) {
            if (const auto* definition = std::get_if<std::string>(&text)) coverage.definition = *definition;
        } else if (*name == kStartKey) {
            coverage.startTime = AsInteger(text);
        } else if (*name == kLastIdKey) {
            coverage.lastRecordId = AsInteger(text).value_or(0);
        }
    }
    // Progress without its start is no progress.
    if (!coverage.startTime) coverage.lastRecordId = 0;
    return coverage;
}

}  // namespace cvn::reporting
