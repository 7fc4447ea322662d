// One statement over counters and records for a counters query (see CountersQuery.h).
#include "host/reporting/metrics/CountersQuery.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/query/QueryStatement.h"
#include "host/reporting/query/QueryTemplates.h"
#include "host/reporting/query/QueryValues.h"

namespace cvn::reporting {

namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
// Beyond any record's time: bounds are clamped to it, so hour arithmetic cannot overflow.
constexpr int64_t kFar = int64_t{1} << 52;
// More uncovered pieces than this (local days split by a :30 zone over a long range): the records
// answer the whole range instead of one statement part per piece.
constexpr size_t kMaxPieces = 200;
// Runs of counter buckets read as separate ranges; more share one.
constexpr size_t kMaxRunsApart = 8;

struct Interval {
    int64_t from = -kFar;  ///< -kFar: unbounded
    int64_t till = kFar;   ///< kFar: unbounded
};

int64_t FloorHour(int64_t t) { return t - ((t % kHour) + kHour) % kHour; }
int64_t CeilHour(int64_t t) { return FloorHour(t) == t ? t : FloorHour(t) + kHour; }

std::string Text(const QxNodePtr& node, const char* name)
{
    uint32_t type = 0;
    std::string value;
    if (node.HasAttribute(name, &type) && type == QXN_TYPE_STRING) node.GetAttribute(name, value);
    return value;
}

/// The query's top-level conjunction split into what the counters' own columns say and the rest.
struct QueryShape {
    std::optional<int64_t> mask;
    std::optional<int64_t> preset;
    Interval range;
    std::vector<QxNodePtr> keys;   ///< the mask and condition id comparisons
    std::vector<QxNodePtr> terms;  ///< the other conditions, joined by AND
};

bool ReadInteger(const QxNodePtr& leaf, int64_t& value)
{
    uint32_t type = 0;
    leaf.HasAttribute("Value", &type);
    if (type != QXN_TYPE_INT32 && type != QXN_TYPE_INT32_ALT && type != QXN_TYPE_INT64) return false;
    value = leaf.GetRequiredAttribute<int64_t>("Value");
    return true;
}

/// A bound on the time column narrows the range; false for a comparison it cannot express.
bool NarrowRange(const QxNodePtr& leaf, const std::string& column, const std::string& comparator, Interval& range)
{
    bool isList = false;
    const std::vector<SqlValue> values = ReadLeafValues(leaf, column, true, isList);
    const auto* number = values.size() == 1 && !isList ? std::get_if<int64_t>(&values[0]) : nullptr;
    if (!number) return false;
    const int64_t at = std::clamp(*number, -kFar, kFar - 1);
    if (comparator == ">=" || comparator == "=") range.from = std::max(range.from, at);
    if (comparator == ">") range.from = std::max(range.from, at + 1);
    if (comparator == "<") range.till = std::min(range.till, at);
    if (comparator == "<=" || comparator == "=") range.till = std::min(range.till, at + 1);
    return comparator == ">=" || comparator == "=" || comparator == ">" || comparator == "<" || comparator == "<=";
}

QueryShape ShapeOf(const QxNodePtr& query, const CountersTableLayout& layout, const std::string& timeColumn)
{
    QueryShape shape;
    std::vector<QxNodePtr> pending;
    for (const QxNodePtr& child : query.GetChildren())
        if (child.GetType() == "ConditionsRoot")
            for (const QxNodePtr& term : child.GetChildren()) pending.push_back(term);
    while (!pending.empty()) {
        const QxNodePtr node = pending.back();
        pending.pop_back();
        const std::string type = node.GetType();
        if (type == "Condition" && Text(node, "operator") == "AND") {
            for (const QxNodePtr& term : node.GetChildren()) pending.push_back(term);
            continue;
        }
        if (type == "ConditionValues" && node.HasAttribute("Value")) {
            const std::string column = Text(node, "Columnn");
            const std::string comparator = Text(node, "Comparator");
            if (comparator == "=" && (column == layout.maskColumn || column == layout.conditionIdColumn)) {
                int64_t value = 0;
                if (!ReadInteger(node, value))
                    ThrowHrWithDescription(kHrInvalidData, "column '" + column + "' must be compared with an integer");
                std::optional<int64_t>& slot = column == layout.maskColumn ? shape.mask : shape.preset;
                if (slot && *slot != value)
                    ThrowHrWithDescription(kHrInvalidData, "column '" + column + "' is compared with two values");
                slot = value;
                shape.keys.push_back(node);
                continue;
            }
            if ((column == timeColumn || column == "When") && NarrowRange(node, column, comparator, shape.range)) continue;
        }
        shape.terms.push_back(node);
    }
    return shape;
}

/// Calls visit(node) for the node and everything below it, without recursion.
template <class Visit>
void ForEachNode(const QxNodePtr& root, Visit&& visit)
{
    std::vector<QxNodePtr> pending{root};
    while (!pending.empty()) {
        const QxNodePtr node = pending.back();
        pending.pop_back();
        visit(node);
        for (const QxNodePtr& child : node.GetChildren()) pending.push_back(child);
    }
}

/// Renames the columns of conditions ("Columnn"), groupings and sortings ("Column") from the
/// counters' columns to the records'; results keep the counters' names through "AliasColumn".
void RenameColumns(const QxNodePtr& root, const std::map<std::string, std::string>& names, uint32_t mask)
{
    ForEachNode(root, [&](const QxNodePtr& node) {
        for (const char* attribute : {"Columnn", "Column"}) {
            const std::string column = Text(node, attribute);
            if (column.empty() || (column == "Count" && std::string_view(attribute) == "Column")) continue;
            const auto name = names.find(column);
            if (name == names.end())
                ThrowHrWithDescription(kHrInvalidData, "column '" + column + "' of the counters of mask " +
                                                           std::to_string(mask) + " has no column in the records");
            if (Text(node, "AliasColumn").empty()) node.SetAttribute("AliasColumn", column);
            node.SetAttribute(attribute, name->second);
        }
    });
}

/// The local time buckets a query groups by, as far as they decide which hours the counters serve.
struct TimeBuckets {
    bool grouped = false;
    std::string part;
    int64_t offset = 0;
};

TimeBuckets BucketsOf(const QxNodePtr& query, const QueryTemplate& counters)
{
    TimeBuckets buckets{counters.groupByTime, counters.timeGroupPart, QueryTimeOffsetSeconds(query)};
    for (const QxNodePtr& child : query.GetChildren()) {
        if (child.GetType() != "GroupByRoot") continue;
        for (const QxNodePtr& entry : child.GetChildren()) {
            const std::string column = Text(entry, "Column");
            if (column == counters.timeColumn || column == "When") buckets.grouped = true;
        }
    }
    return buckets;
}

/// The local bucket starts strictly inside (from, till) for buckets of a day or longer; nullopt when
/// the range is unbounded or holds more than kMaxPieces of them.
std::optional<std::vector<int64_t>> Boundaries(int64_t from, int64_t till, const TimeBuckets& buckets)
{
    std::vector<int64_t> found;
    if (till >= kFar) return std::nullopt;
    if (buckets.part == "day") {
        const int64_t local = from + buckets.offset;
        for (int64_t boundary = local - ((local % kDay) + kDay) % kDay + kDay - buckets.offset; boundary < till;
             boundary += kDay) {
            found.push_back(boundary);
            if (found.size() > kMaxPieces) return std::nullopt;
        }
        return found;
    }
    // Months and years: calendar boundaries of local time.
    using namespace std::chrono;
    const year_month_day first{floor<days>(sys_seconds(seconds(from + buckets.offset)))};
    year_month month = first.year() / first.month();
    for (;;) {
        month = buckets.part == "year" ? (month.year() + years(1)) / January : month + months(1);
        const int64_t boundary = sys_days(month / 1).time_since_epoch().count() * kDay - buckets.offset;
        if (boundary >= till) return found;
        found.push_back(boundary);
        if (found.size() > kMaxPieces) return std::nullopt;
    }
}

int64_t FloorTo(int64_t t, int64_t span) { return t - ((t % span) + span) % span; }
int64_t CeilTo(int64_t t, int64_t span) { return FloorTo(t, span) == t ? t : FloorTo(t, span) + span; }

/// Counter buckets of one length over consecutive times.
struct Run {
    int64_t span = 0;
    Interval times;
};

/// [from, till) (whole hours) as aligned buckets of the given lengths, longest that fits first;
/// consecutive buckets of one length form one run. An unbounded till ends in one unbounded run of
/// the longest length.
void Decompose(int64_t from, int64_t till, const std::vector<int64_t>& spans, std::vector<Run>& runs)
{
    const int64_t longest = spans.back();
    int64_t at = from;
    const int64_t end = till >= kFar ? CeilTo(from, longest) : till;
    const auto add = [&](int64_t span, int64_t next) {
        if (!runs.empty() && runs.back().span == span && runs.back().times.till == at)
            runs.back().times.till = next;
        else
            runs.push_back({span, {at, next}});
        at = next;
    };
    while (at < end) {
        int64_t span = spans.front();
        for (const int64_t candidate : spans)
            if (at % candidate == 0 && at + candidate <= end) span = candidate;
        // The longest buckets in one step: a range ending far in the future is one run, not a bucket
        // at a time for millions of years.
        add(span, span == longest ? at + (end - at) / span * span : at + span);
    }
    if (till >= kFar) add(longest, kFar);
}

/// Which counters rows serve a range: from the metrics start on, the range's whole hours as a few long
/// buckets in the middle and shorter ones towards the edges, never across a boundary of the query's
/// local time buckets. Empty when the counters serve nothing.
std::vector<Run> Covered(const Interval& range, int64_t start, const TimeBuckets& buckets)
{
    // The start is an hour as the aggregator writes it; a stored one off the hour would leave every
    // bucket unaligned, read an hour at a time.
    const int64_t from = std::max(CeilHour(range.from), CeilHour(start));
    const int64_t till = range.till >= kFar ? kFar : FloorHour(range.till);
    if (from >= till) return {};
    std::vector<int64_t> spans(std::begin(kCounterSpans), std::end(kCounterSpans));
    std::vector<Interval> segments{{from, till}};
    if (buckets.grouped) {
        if (buckets.part == "second" || buckets.part == "minute") return {};
        if (buckets.part == "hour" || (buckets.part == "day" && buckets.offset % kHour == 0)) {
            // Buckets that divide the local hour or day and start on its boundaries never cross one.
            const int64_t local = buckets.part == "hour" ? kHour : kDay;
            std::erase_if(spans, [&](int64_t span) { return local % span != 0 || buckets.offset % span != 0; });
            if (spans.empty()) return {};
        } else {
            // Local days off the hour, months or years: the range splits at each boundary, and an hour
            // a boundary falls inside is read from the records.
            const std::optional<std::vector<int64_t>> boundaries = Boundaries(from, till, buckets);
            if (!boundaries) return {};
            segments.clear();
            int64_t at = from;
            for (const int64_t boundary : *boundaries) {
                if (FloorHour(boundary) > at) segments.push_back({at, FloorHour(boundary)});
                at = CeilHour(boundary);
            }
            if (at < till) segments.push_back({at, till});
        }
    }
    std::vector<Run> runs;
    for (const Interval& segment : segments) Decompose(segment.from, segment.till, spans, runs);
    return runs;
}

/// The parts of range outside the covered intervals (sorted, inside range).
std::vector<Interval> Uncovered(const Interval& range, const std::vector<Interval>& covered)
{
    std::vector<Interval> pieces;
    int64_t at = range.from;
    for (const Interval& part : covered) {
        if (part.from > at) pieces.push_back({at, part.from});
        at = part.till;
    }
    if (at < range.till) pieces.push_back({at, range.till});
    return pieces;
}

std::string Within(QueryStatement& statement, const std::string& column, const Interval& interval)
{
    std::string sql;
    if (interval.from > -kFar) sql = column + " >= " + statement.Bind(interval.from);
    if (interval.till < kFar) sql += (sql.empty() ? "" : " AND ") + column + " < " + statement.Bind(interval.till);
    return sql.empty() ? "1=1" : sql;
}

std::string Column(QueryStatement& statement, const std::string& name)
{
    return statement.Quote(kMainTableAlias) + "." + statement.Quote(name);
}

}  // namespace

CountersQueryTranslator::CountersQueryTranslator(const QueryTranslator& translator, const QxNodePtr& metrics)
    : m_translator(translator), m_layout(CountersTableLayoutFromMetrics(metrics))
{
    const std::vector<AggregatedGroup> groups = ReadAggregatedGroups(metrics);
    m_presets = ReadPresetConditions(metrics);
    for (const AggregatedGroup& group : groups) m_groups.emplace(group.mask, group);
    m_definition = MetricsDefinition(m_layout, groups);
}

bool CountersQueryTranslator::Serves(const QxNodePtr& query) const
{
    const std::string name = query ? Text(query, "Query_Template_Name") : std::string();
    return !name.empty() && !m_translator.Template(name).recordsTemplate.empty();
}

TranslatedQuery CountersQueryTranslator::Translate(const QxNodePtr& query, const CountersCoverage& coverage) const
{
    const QueryTemplate& counters = m_translator.Template(Text(query, "Query_Template_Name"));
    const QueryTemplate& records = m_translator.Template(counters.recordsTemplate);
    if (records.table != kAuditRecordsTable)
        ThrowHrWithDescription(kHrInvalidData, "query template '" + records.name + "' must read the table '" +
                                                   kAuditRecordsTable + "' that the counters count");
    const QueryShape shape = ShapeOf(query, m_layout, counters.timeColumn);
    if (!shape.mask || !shape.preset)
        ThrowHrWithDescription(kHrInvalidData, "a query on the counters template '" + counters.name + "' needs '" +
                                                   m_layout.maskColumn + "' = and '" + m_layout.conditionIdColumn +
                                                   "' = conditions at its top level");
    const auto group = m_groups.find(static_cast<uint32_t>(*shape.mask));
    if (group == m_groups.end() || static_cast<int64_t>(group->first) != *shape.mask)
        ThrowHrWithDescription(kHrInvalidData, "no counters group has mask " + std::to_string(*shape.mask));
    const auto preset = m_presets.find(*shape.preset);
    if (preset == m_presets.end())
        ThrowHrWithDescription(kHrInvalidData, "no preset condition has the id " + std::to_string(*shape.preset));
    // A group and preset not counted together: the records answer alone.
    const bool counted = group->second.presets.count(*shape.preset) != 0;

    // The records' side of the query: the preset's conditions instead of mask and condition id, the
    // records' columns instead of the counters'.
    std::map<std::string, std::string> names{{counters.timeColumn, "When"}, {"When", "When"}};
    for (const auto& [logical, column] : group->second.columns) names.emplace(column, logical);
    bool timeInTerms = false;
    const QxNodePtr recordsQuery = query.Clone(0);
    recordsQuery.SetAttribute("Query_Template_Name", records.name);
    const QxNodePtr conditions = QxNodePtr::Create("Conditions", "ConditionsRoot");
    conditions.AddChild(preset->second.Clone());
    for (const QxNodePtr& term : shape.terms) {
        ForEachNode(term, [&](const QxNodePtr& node) {
            const std::string column = Text(node, "Columnn");
            if (column == counters.timeColumn || column == "When") timeInTerms = true;
        });
        const QxNodePtr copy = term.Clone();
        RenameColumns(copy, names, group->first);
        conditions.AddChild(copy);
    }
    recordsQuery.AddChild(conditions);
    // The counters' side without the query's own time bounds: each part reads one run of buckets, and
    // a second range on the time column could make the database scan the wider one.
    const QxNodePtr countersQuery = query.Clone(0);
    const QxNodePtr countersConditions = QxNodePtr::Create("Conditions", "ConditionsRoot");
    const QxNodePtr conjunction = QxNodePtr::Create("Condition", "Condition");
    conjunction.SetAttribute("operator", "AND");
    for (const QxNodePtr& key : shape.keys) conjunction.AddChild(key.Clone());
    for (const QxNodePtr& term : shape.terms) conjunction.AddChild(term.Clone());
    countersConditions.AddChild(conjunction);
    countersQuery.AddChild(countersConditions);
    for (const QxNodePtr& child : query.GetChildren()) {
        if (child.GetType() != "GroupByRoot" && child.GetType() != "SortingRoot") continue;
        countersQuery.AddChild(child.Clone());
        const QxNodePtr copy = child.Clone();
        RenameColumns(copy, names, group->first);
        recordsQuery.AddChild(copy);
    }

    // A time condition the range does not capture (under OR, "<>") leaves the hours undecided: the
    // records answer alone, as they do for counters made by another definition or not made yet.
    std::vector<Run> runs;
    if (counted && coverage.startTime && coverage.definition == m_definition && !timeInTerms)
        runs = Covered(shape.range, *coverage.startTime, BucketsOf(query, counters));
    std::vector<Interval> spans;
    for (const Run& run : runs) spans.push_back(run.times);
    std::sort(spans.begin(), spans.end(), [](const Interval& a, const Interval& b) { return a.from < b.from; });

    std::vector<TranslatedQuery> parts;
    const auto add = [&](const QxNodePtr& part, std::function<std::string(QueryStatement&)> where, bool byKey) {
        QueryPart options{parts.empty() ? std::vector<SqlValue>{} : parts.back().parameters, std::move(where), byKey};
        parts.push_back(m_translator.TranslatePart(part, std::move(options)));
    };
    const auto recordsWhen = [&](QueryStatement& s) { return Column(s, records.timeColumn); };
    const int64_t lastId = coverage.lastRecordId;
    const std::vector<Interval> pieces = Uncovered(shape.range, spans);
    if (spans.empty() || pieces.size() > kMaxPieces) {
        add(recordsQuery, [&](QueryStatement& s) { return Within(s, recordsWhen(s), shape.range); }, false);
    } else {
        // Each run of buckets is its own range on the counters' index (mask, condition, span, time);
        // past a few runs of one length they share one range and filter. Where every select is a round
        // trip to the shards (CombinesRanges), all runs are one select whose condition holds them all.
        const bool oneRead = m_translator.Dialect().CombinesRanges();
        std::vector<std::function<std::string(QueryStatement&)>> lengths;
        for (const int64_t span : kCounterSpans) {
            std::vector<Interval> times;
            for (const Run& run : runs)
                if (run.span == span) times.push_back(run.times);
            if (times.empty()) continue;
            const auto bucket = [&, span](QueryStatement& s) {
                return Column(s, m_layout.spanColumn) + " = " + s.Bind(span);
            };
            const auto within = [&](QueryStatement& s, const Interval& run) {
                return Within(s, Column(s, counters.timeColumn), run);
            };
            if (times.size() <= kMaxRunsApart && !oneRead) {
                for (const Interval& run : times)
                    add(countersQuery, [&, run](QueryStatement& s) { return bucket(s) + " AND " + within(s, run); }, false);
                continue;
            }
            lengths.push_back([&, bucket, within, times](QueryStatement& s) {
                if (times.size() == 1) return bucket(s) + " AND " + within(s, times.front());
                std::string sql = bucket(s) + " AND " + within(s, {times.front().from, times.back().till}) + " AND (";
                for (size_t i = 0; i < times.size(); ++i) sql += (i ? " OR (" : "(") + within(s, times[i]) + ")";
                return sql + ")";
            });
        }
        if (!lengths.empty()) {
            add(countersQuery, [&](QueryStatement& s) {
                if (lengths.size() == 1) return lengths.front()(s);
                std::string sql;
                for (const auto& length : lengths) sql += (sql.empty() ? "((" : " OR (") + length(s) + ")";
                return sql + ")";
            }, false);
        }
        // One part per uncovered piece, each a plain range on the time column the records' indexes serve.
        // Placeholders are numbered in binding order, so each term binds before the next is built.
        // Counters that hold every record (kept by the database itself) need no key conditions.
        const bool everyRecord = lastId == std::numeric_limits<int64_t>::max();
        const auto byId = [&](const char* comparator, const Interval& interval) {
            return [&, comparator, interval](QueryStatement& s) {
                if (everyRecord) return Within(s, recordsWhen(s), interval);
                std::string sql = Column(s, RecordColumns::kId) + comparator + s.Bind(lastId);
                return sql + " AND " + Within(s, recordsWhen(s), interval);
            };
        };
        if (oneRead && pieces.size() > 1) {
            add(recordsQuery, [&](QueryStatement& s) {
                std::string sql;
                for (const Interval& piece : pieces) sql += (sql.empty() ? "((" : " OR (") + byId(" <= ", piece)(s) + ")";
                return sql + ")";
            }, false);
        } else {
            for (const Interval& piece : pieces) add(recordsQuery, byId(" <= ", piece), false);
        }
        // Records newer than the counters: few, found by the key.
        if (!everyRecord) add(recordsQuery, byId(" > ", shape.range), true);
    }

    const IDialect& dialect = m_translator.Dialect();
    TranslatedQuery result;
    result.rowAttributes = parts.front().rowAttributes;
    result.orderBy = parts.front().orderBy;
    result.rowLimit = parts.front().rowLimit;
    std::string keys;
    for (size_t i = 0; i + 1 < result.rowAttributes.size(); ++i)
        keys += (keys.empty() ? "" : ", ") + dialect.ResultAlias(result.rowAttributes[i]);
    const std::string count = dialect.ResultAlias("Count");
    result.sql = "SELECT " + keys + (keys.empty() ? "" : ", ") + "SUM(" + count + ") AS " + count + " FROM (";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].rowAttributes != result.rowAttributes)
            ThrowHrWithDescription(kHrInvalidData, "query templates '" + counters.name + "' and '" + records.name +
                                                       "' answer different columns for the same query");
        result.sql += (i ? " UNION ALL " : "") + parts[i].sql;
    }
    result.sql += ") AS " + dialect.QuoteIdentifier("u");
    if (!keys.empty()) result.sql += " GROUP BY " + keys;
    for (size_t i = 0; i < result.orderBy.size(); ++i) result.sql += (i ? ", " : " ORDER BY ") + result.orderBy[i];
    if (result.rowLimit > 0) result.sql += " " + dialect.LimitClause(result.rowLimit, 0);
    result.parameters = std::move(parts.back().parameters);
    return result;
}

}  // namespace cvn::reporting
