// Counting records into the overview counters (see MetricsAggregator.h).
#include "host/reporting/metrics/MetricsAggregator.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

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

// Where the database counts each record as it is inserted, the counters cover every record from the
// epoch on (before it, the records answer).
constexpr int64_t kKeptCountersStart = 0;

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

int64_t MetricsAggregator::KeepCounters()
{
    if (ReadCountersCoverage(m_connection).definition != m_definition) {
        std::vector<CountedSelection> selections;
        for (const AggregatedGroup& group : m_groups) {
            for (const auto& [id, preset] : group.presets) {
                CountedSelection selection{.mask = group.mask, .conditionId = id, .columns = group.columns,
                                           .alias = kMainTableAlias};
                selection.condition = m_translator.TranslateCondition(preset, m_recordsTemplate, selection.parameters);
                selections.push_back(std::move(selection));
            }
        }
        m_connection.KeepCounters(m_table, selections,
                                  {{kStartKey, std::to_string(kKeptCountersStart)},
                                   {kLastIdKey, std::to_string(std::numeric_limits<int64_t>::max())},
                                   {kDefinitionKey, m_definition}});
    }
    WriteStatus(kKeptCountersStart);
    return 0;
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

namespace {

// A counter's key in one pass: the bucket, then each group value tagged by its type, so the
// values come back exactly as they were read.
void AppendValue(std::string& key, const SqlValue& value)
{
    if (const auto* text = std::get_if<std::string>(&value)) {
        const uint32_t size = static_cast<uint32_t>(text->size());
        key += 's';
        key.append(reinterpret_cast<const char*>(&size), sizeof size);
        key += *text;
    } else if (const auto* number = std::get_if<int64_t>(&value)) {
        key += 'i';
        key.append(reinterpret_cast<const char*>(number), sizeof *number);
    } else if (const auto* real = std::get_if<double>(&value)) {
        key += 'd';
        key.append(reinterpret_cast<const char*>(real), sizeof *real);
    } else {
        key += 'n';
    }
}

template <class T>
T ReadRaw(std::string_view& key)
{
    T value;
    std::memcpy(&value, key.data(), sizeof value);
    key.remove_prefix(sizeof value);
    return value;
}

SqlValue ReadValue(std::string_view& key)
{
    const char tag = key.front();
    key.remove_prefix(1);
    if (tag == 'i') return ReadRaw<int64_t>(key);
    if (tag == 'd') return ReadRaw<double>(key);
    if (tag == 'n') return SqlValue();
    const uint32_t size = ReadRaw<uint32_t>(key);
    std::string text(key.substr(0, size));
    key.remove_prefix(size);
    return text;
}

int64_t FloorTo(int64_t t, int64_t span) { return t - ((t % span) + span) % span; }
int64_t CeilTo(int64_t t, int64_t span) { return FloorTo(t, span) == t ? t : FloorTo(t, span) + span; }

}  // namespace

void MetricsAggregator::CountRange(int64_t from, int64_t till, int64_t lastRecordId, int64_t startTime)
{
    const IDialect& sql = m_connection.Dialect();
    const std::string ts = sql.QuoteIdentifier(m_table.timestampColumn);
    auto erase = m_connection.Prepare("DELETE FROM " + sql.QuoteIdentifier(m_table.table) + " WHERE " +
                                      sql.QuoteIdentifier(m_table.spanColumn) + " = " + sql.Placeholder(1) + " AND " +
                                      ts + " >= " + sql.Placeholder(2) + " AND " + ts + " < " + sql.Placeholder(3));
    // Every bucket the range touches is counted anew; longer ones only where they lie wholly from
    // the start on, summed from the length below them.
    for (const int64_t span : kCounterSpans) {
        erase->Reset();
        erase->Bind(1, span);
        erase->Bind(2, FloorTo(from, span));
        erase->Bind(3, CeilTo(till, span));
        while (erase->Next()) {
        }
    }
    erase.reset();
    if (!sql.CountsInDatabase()) {
        // The pass counts every bucket inside the range; a longer bucket the range's edge cuts is summed
        // from the shorter ones, which lie partly outside. The callers' ranges start at or after
        // startTime, so only an edge bucket can begin before it, and then it has no row.
        CountBuckets(from, till, lastRecordId);
        for (size_t level = 1; level < std::size(kCounterSpans); ++level) {
            const int64_t span = kCounterSpans[level];
            const int64_t first = std::max(FloorTo(from, span), CeilTo(startTime, span)), end = CeilTo(till, span);
            const int64_t innerFrom = CeilTo(from, span), innerTill = FloorTo(till, span);
            if (innerFrom >= innerTill) {
                if (first < end) RollUp(kCounterSpans[level - 1], span, first, end);
                continue;
            }
            if (first < innerFrom) RollUp(kCounterSpans[level - 1], span, first, innerFrom);
            if (std::max(first, innerTill) < end) RollUp(kCounterSpans[level - 1], span, std::max(first, innerTill), end);
        }
        return;
    }
    // The hours by grouped inserts, then each longer span summed from the one below it, for every
    // bucket the range touches that lies wholly from the start on (the shorter rows of a bucket's
    // part outside the range are those of earlier runs).
    CountHours(from, till, lastRecordId);
    for (size_t level = 1; level < std::size(kCounterSpans); ++level) {
        const int64_t span = kCounterSpans[level];
        const int64_t first = std::max(FloorTo(from, span), CeilTo(startTime, span)), end = CeilTo(till, span);
        if (first < end) RollUp(kCounterSpans[level - 1], span, first, end);
    }
}

void MetricsAggregator::CountBuckets(int64_t from, int64_t till, int64_t lastRecordId)
{
    const IDialect& sql = m_connection.Dialect();
    const auto q = [&](const std::string& name) { return sql.QuoteIdentifier(name); };
    const auto column = [&](const std::string& name) { return q(kMainTableAlias) + "." + q(name); };

    // One pass over the records: every logical column any group needs, and one flag per preset.
    std::vector<std::string> logical;
    std::map<int64_t, size_t> presetFlag;
    std::vector<SqlValue> params;
    std::string select = column(RecordColumns::kWhen);
    for (const AggregatedGroup& group : m_groups) {
        for (const auto& [name, stored] : group.columns)
            if (std::find(logical.begin(), logical.end(), name) == logical.end()) logical.push_back(name);
    }
    for (const std::string& name : logical) select += ", " + column(name);
    for (const AggregatedGroup& group : m_groups) {
        for (const auto& [id, preset] : group.presets) {
            if (presetFlag.count(id)) continue;
            presetFlag.emplace(id, 1 + logical.size() + presetFlag.size());
            select += ", CASE WHEN " + m_translator.TranslateCondition(preset, m_recordsTemplate, params) +
                      " THEN 1 ELSE 0 END";
        }
    }
    const size_t first = params.size();
    auto read = m_connection.Prepare("SELECT " + select + " FROM " + q(kAuditRecordsTable) + " AS " +
                                     q(kMainTableAlias) + " WHERE " + column(RecordColumns::kWhen) + " >= " +
                                     sql.Placeholder(first + 1) + " AND " + column(RecordColumns::kWhen) + " < " +
                                     sql.Placeholder(first + 2) + " AND " + column(RecordColumns::kId) + " <= " +
                                     sql.Placeholder(first + 3));
    for (size_t i = 0; i < first; ++i) read->Bind(i + 1, params[i]);
    read->Bind(first + 3, lastRecordId);

    // One counter set per group and preset, each with its insert: the hours of the records read, and
    // for every longer span the bucket being filled.
    struct Slot {
        uint32_t mask;
        int64_t preset;
        size_t flag;
        std::vector<size_t> values;  // positions in the select of the group's columns
        std::unique_ptr<IStatement> insert;
        std::unordered_map<std::string, int64_t> hours;                 // hour, then values
        std::vector<std::unordered_map<std::string, int64_t>> longer;  // values, per span after the hour
    };
    std::vector<Slot> slots;
    for (const AggregatedGroup& group : m_groups) {
        std::string targets = q(m_table.maskColumn) + ", " + q(m_table.conditionIdColumn) + ", " +
                              q(m_table.timestampColumn) + ", " + q(m_table.spanColumn) + ", " + q(m_table.countColumn);
        std::vector<size_t> values;
        for (const auto& [name, stored] : group.columns) {
            targets += ", " + q(stored);
            values.push_back(1 + static_cast<size_t>(std::find(logical.begin(), logical.end(), name) - logical.begin()));
        }
        std::string placeholders;
        for (size_t i = 1; i <= 5 + values.size(); ++i) placeholders += (i > 1 ? ", " : "") + sql.Placeholder(i);
        for (const auto& [id, preset] : group.presets) {
            slots.push_back(Slot{group.mask, id, presetFlag.at(id), values,
                                 m_connection.Prepare("INSERT INTO " + q(m_table.table) + " (" + targets +
                                                      ") VALUES (" + placeholders + ")"),
                                 {}, std::vector<std::unordered_map<std::string, int64_t>>(std::size(kCounterSpans) - 1)});
        }
    }
    const auto write = [&](Slot& slot, int64_t at, int64_t span, std::string_view values, int64_t count) {
        slot.insert->Bind(1, int64_t{slot.mask});
        slot.insert->Bind(2, slot.preset);
        slot.insert->Bind(3, at);
        slot.insert->Bind(4, span);
        slot.insert->Bind(5, count);
        for (size_t i = 0; i < slot.values.size(); ++i) slot.insert->Bind(6 + i, ReadValue(values));
        while (slot.insert->Next()) {
        }
        slot.insert->Reset();
    };
    // Buckets wholly inside the range are summed here; the others by RollUp.
    const auto inside = [&](size_t level, int64_t at) {
        const int64_t bucket = FloorTo(at, kCounterSpans[level]);
        return bucket >= from && bucket + kCounterSpans[level] <= till;
    };
    // Writes the finished bucket of the level and adds it to the next one, closing that too when this
    // bucket was its last.
    const auto close = [&](size_t level, int64_t bucket) {
        for (;; ++level) {
            const bool up = level + 1 < std::size(kCounterSpans) && inside(level + 1, bucket);
            for (Slot& slot : slots) {
                for (const auto& [values, count] : slot.longer[level - 1]) {
                    write(slot, bucket, kCounterSpans[level], values, count);
                    if (up) slot.longer[level][values] += count;
                }
                slot.longer[level - 1].clear();
            }
            const int64_t end = bucket + kCounterSpans[level];
            if (!up || end % kCounterSpans[level + 1] != 0) return;
            bucket = FloorTo(bucket, kCounterSpans[level + 1]);
        }
    };

    // Records are read one shortest-but-one bucket at a time, so the hours held stay few.
    const int64_t step = kCounterSpans[1];
    std::string key;
    std::vector<SqlValue> row(1 + logical.size() + presetFlag.size());
    for (int64_t chunk = from; chunk < till;) {
        const int64_t next = std::min(till, FloorTo(chunk, step) + step);
        read->Reset();
        read->Bind(first + 1, chunk);
        read->Bind(first + 2, next);
        while (read->Next()) {
            const SqlValue when = read->Column(0);
            const int64_t* seconds = std::get_if<int64_t>(&when);
            if (!seconds) continue;
            const int64_t hour = HourOf(*seconds);
            for (size_t i = 1; i < row.size(); ++i) row[i] = read->Column(i);
            for (Slot& slot : slots) {
                const int64_t* counted = std::get_if<int64_t>(&row[slot.flag]);
                if (!counted || *counted == 0) continue;
                key.assign(reinterpret_cast<const char*>(&hour), sizeof hour);
                for (const size_t value : slot.values) AppendValue(key, row[value]);
                ++slot.hours[key];
            }
        }
        const bool up = inside(1, chunk);
        for (Slot& slot : slots) {
            for (const auto& [counter, count] : slot.hours) {
                std::string_view values(counter);
                const int64_t at = ReadRaw<int64_t>(values);
                write(slot, at, kHourSpan, values, count);
                if (up) slot.longer[0][std::string(values)] += count;
            }
            slot.hours.clear();
        }
        if (up && next % step == 0) close(1, next - step);
        chunk = next;
    }
}

void MetricsAggregator::CountHours(int64_t from, int64_t till, int64_t lastRecordId)
{
    const IDialect& sql = m_connection.Dialect();
    const auto q = [&](const std::string& name) { return sql.QuoteIdentifier(name); };
    const auto column = [&](const std::string& name) { return q(kMainTableAlias) + "." + q(name); };
    const std::string when = column(RecordColumns::kWhen);
    const std::string length = std::to_string(kHourSpan);
    const std::string hour = "(" + when + " - ((" + when + " % " + length + ") + " + length + ") % " + length + ")";
    for (const AggregatedGroup& group : m_groups) {
        std::string targets = q(m_table.maskColumn) + ", " + q(m_table.conditionIdColumn) + ", " +
                              q(m_table.timestampColumn) + ", " + q(m_table.spanColumn) + ", " + q(m_table.countColumn);
        std::string values;
        for (const auto& [name, stored] : group.columns) {
            targets += ", " + q(stored);
            values += ", " + column(name);
        }
        for (const auto& [id, preset] : group.presets) {
            // Mask and preset id are integers of the configuration, written as literals: a parameter in
            // a select list has no type to take.
            std::vector<SqlValue> params;
            const std::string condition = m_translator.TranslateCondition(preset, m_recordsTemplate, params);
            const size_t first = params.size();
            auto insert = m_connection.Prepare(
                "INSERT INTO " + q(m_table.table) + " (" + targets + ") SELECT " + std::to_string(group.mask) + ", " +
                std::to_string(id) + ", " + hour + ", " + length + ", COUNT(*)" + values + " FROM " +
                q(kAuditRecordsTable) + " AS " + q(kMainTableAlias) + " WHERE " + when + " >= " +
                sql.Placeholder(first + 1) + " AND " + when + " < " + sql.Placeholder(first + 2) + " AND " +
                column(RecordColumns::kId) + " <= " + sql.Placeholder(first + 3) + " AND (" + condition +
                ") GROUP BY " + hour + values);
            for (size_t i = 0; i < first; ++i) insert->Bind(i + 1, params[i]);
            insert->Bind(first + 1, from);
            insert->Bind(first + 2, till);
            insert->Bind(first + 3, lastRecordId);
            while (insert->Next()) {
            }
        }
    }
}

void MetricsAggregator::RollUp(int64_t shorter, int64_t span, int64_t from, int64_t till)
{
    const IDialect& sql = m_connection.Dialect();
    const auto q = [&](const std::string& name) { return sql.QuoteIdentifier(name); };
    const std::string ts = q(m_table.timestampColumn);
    // The span is a constant of ours, written as a literal so the grouping repeats the select's text.
    const std::string length = std::to_string(span);
    const std::string bucket = "(" + ts + " - ((" + ts + " % " + length + ") + " + length + ") % " + length + ")";
    for (const AggregatedGroup& group : m_groups) {
        std::string columns;
        for (const auto& [name, stored] : group.columns) columns += ", " + q(stored);
        const std::string keys = q(m_table.maskColumn) + ", " + q(m_table.conditionIdColumn);
        auto insert = m_connection.Prepare(
            "INSERT INTO " + q(m_table.table) + " (" + keys + ", " + ts + ", " + q(m_table.spanColumn) + ", " +
            q(m_table.countColumn) + columns + ") SELECT " + keys + ", " + bucket + ", " + length + ", SUM(" +
            q(m_table.countColumn) + ")" + columns + " FROM " + q(m_table.table) + " WHERE " + q(m_table.maskColumn) +
            " = " + sql.Placeholder(1) + " AND " + q(m_table.conditionIdColumn) + " = " + sql.Placeholder(2) + " AND " +
            q(m_table.spanColumn) + " = " + sql.Placeholder(3) + " AND " + ts + " >= " + sql.Placeholder(4) + " AND " +
            ts + " < " + sql.Placeholder(5) + " GROUP BY " + keys + ", " + bucket + columns);
        for (const auto& [id, preset] : group.presets) {
            const SqlValue values[] = {int64_t{group.mask}, id, shorter, from, till};
            for (size_t i = 0; i < std::size(values); ++i) insert->Bind(i + 1, values[i]);
            while (insert->Next()) {
            }
            insert->Reset();
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
        CountRange(from, till, *lastId, state.startTime);
        hours = (till - from) / kHour;
    }
    state.lastRecordId = *lastId;
    return hours;
}

int64_t MetricsAggregator::Aggregate(int64_t now)
{
    if (m_connection.Dialect().KeepsCounters()) return KeepCounters();
    return InTransaction([&](State& state) -> int64_t {
        state = LoadState(now);
        const int64_t hours = TakeInNewRecords(state);
        SaveState(state);
        return hours;
    });
}

int64_t MetricsAggregator::Backfill(int64_t from, int64_t now)
{
    if (m_connection.Dialect().KeepsCounters()) return KeepCounters();
    return InTransaction([&](State& state) -> int64_t {
        state = LoadState(now);
        int64_t hours = TakeInNewRecords(state);
        const int64_t start = HourOf(from);
        if (start < state.startTime) {
            CountRange(start, state.startTime, state.lastRecordId, start);
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
    std::string spans;
    for (const int64_t span : kCounterSpans) spans += (spans.empty() ? "" : " ") + std::to_string(span);
    std::string text = layout.table + "(" + layout.idColumn + "," + layout.maskColumn + "," + layout.conditionIdColumn +
                       "," + layout.countColumn + "," + layout.timestampColumn + "," + layout.spanColumn + "[" + spans + "]";
    for (const std::string& column : layout.groupColumns) text += "," + column;
    text += ")";
    for (const AggregatedGroup& group : groups) {
        text += ";" + std::to_string(group.mask) + ":";
        for (const auto& [logical, column] : group.columns) text += logical + "=" + column + ",";
        for (const auto& [id, preset] : group.presets)
            text += std::to_string(id) + "=" + preset.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8) + ",";
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
