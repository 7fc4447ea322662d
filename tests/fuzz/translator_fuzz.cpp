// The query translator with the shipped templates (config/host.cfg.xml) under
// every storage backend's dialect, as the queries processor runs it: a
// counters template through CountersQueryTranslator, any other through
// QueryTranslator; on ClickHouse the statement then goes through the literal
// binding its statements use (CountPlaceholders, one slot per parameter,
// BindValues); one backend per input, by the input's size. Each translation
// either succeeds or throws HRX 0x8007000D. A statement is tokenised by its
// database's quoting rules: placeholders are exactly 1..the parameter count, every bare
// word is a keyword or function the translator or dialect writes (or a word of
// a template's own SQL), every quoted name is a table, column or alias of the
// templates and the counters layout, or a result name the query asked for.
// Every string value of the input carries a marker byte (0x7F) that nothing
// else may hold: on SQLite and PostgreSQL it must never reach the statement
// text; on ClickHouse the bound statement must equal the unbound one with each
// placeholder replaced by exactly one literal that decodes to its value. On
// SQLite the statement is also prepared and run on an empty in-memory schema.
//
// Input: text starting with '<' is a Query node in the text form (the seeds
// are the queries the default dashboard sends); anything else is decoded into
// a Query tree over the templates' columns, so that almost every input
// reaches the translator's deeper paths (counters ranges, groupings, lists)
// with hostile bytes in its values.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/main/HostConfig.h"
#include "host/reporting/metrics/CountersQuery.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/query/QueryTemplates.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/storage/Backends.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"
#include "host/reporting/storage/clickhouse/ClickHouseSql.h"

namespace {

using namespace cvn;
using namespace cvn::reporting;

constexpr char kMarker = '\x7f';

std::string Printable(std::string_view text);

const cvn::QxNodePtr* g_query = nullptr;  // the input's query and the statement being checked, shown with a failure
std::string g_context;
// TRANSLATOR_FUZZ_SHOW=1: each statement or refusal on standard error, for looking at a corpus by hand.
const bool g_show = std::getenv("TRANSLATOR_FUZZ_SHOW") != nullptr;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "translator: %s\n%s\nquery:\n%s\n", what.c_str(), Printable(g_context).c_str(),
                 g_query ? g_query->ToText().c_str() : "");
    std::abort();
}

void Check(bool condition, const std::string& what)
{
    if (!condition) Fail(what);
}

std::string Printable(std::string_view text)
{
    std::string out;
    for (const unsigned char c : text) {
        if ((c >= 0x20 && c < 0x7f) || c == '\n') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// ---- Tokens of one database's SQL --------------------------------------------------------------

enum class Db { Sqlite, Postgres, ClickHouse };

enum class Kind { Word, Name, Text, Number, Placeholder, Symbol };

struct Token {
    Kind kind;
    std::string text;  ///< decoded for names and texts
    size_t number = 0; ///< of a placeholder
    bool operator==(const Token& other) const { return kind == other.kind && text == other.text && number == other.number; }
};

// The escapes ClickHouse reads inside quotes, limited to those its literals are written with.
bool ClickHouseEscape(char c, char& decoded)
{
    switch (c) {
        case '\\': case '\'': case '"': case '`': decoded = c; return true;
        case '0': decoded = '\0'; return true;
        case 'n': decoded = '\n'; return true;
        case 't': decoded = '\t'; return true;
        case 'r': decoded = '\r'; return true;
        case 'b': decoded = '\b'; return true;
        case 'f': decoded = '\f'; return true;
        default: return false;
    }
}

/// The statement as tokens by the database's rules; fails on anything a translated statement never holds
/// (comments, a statement separator, control or high bytes outside quotes, a quote left open).
std::vector<Token> Tokenize(Db db, std::string_view sql)
{
    std::vector<Token> tokens;
    size_t i = 0;
    const auto quoted = [&](char quote) {
        std::string text;
        for (++i; i < sql.size(); ++i) {
            const char c = sql[i];
            if (db == Db::ClickHouse && c == '\\') {
                char decoded = 0;
                Check(i + 1 < sql.size() && ClickHouseEscape(sql[i + 1], decoded),
                      "an escape ClickHouse literals are not written with at " + std::to_string(i));
                text += decoded;
                ++i;
            } else if (c == quote) {
                if (i + 1 < sql.size() && sql[i + 1] == quote) {
                    text += quote;
                    ++i;
                } else {
                    ++i;
                    return text;
                }
            }
            else {
                text += c;
            }
        }
        Fail(std::string("a quote ") + quote + " is left open");
    };
    const auto isWordStart = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == ' ') {
            ++i;
        } else if (c == '\'') {
            tokens.push_back({Kind::Text, quoted('\'')});
        } else if (c == '"' || (c == '`' && db == Db::ClickHouse)) {
            tokens.push_back({Kind::Name, quoted(c)});
        } else if (isWordStart(c)) {
            const size_t begin = i;
            while (i < sql.size() && (isWordStart(sql[i]) || isDigit(sql[i]))) ++i;
            tokens.push_back({Kind::Word, std::string(sql.substr(begin, i - begin))});
        } else if (isDigit(c)) {
            const size_t begin = i;
            while (i < sql.size() && isDigit(sql[i])) ++i;
            Check(i == sql.size() || !isWordStart(sql[i]), "a number runs into a word at " + std::to_string(i));
            tokens.push_back({Kind::Number, std::string(sql.substr(begin, i - begin))});
        } else if ((c == '?' && db == Db::Sqlite) || (c == '$' && db != Db::Sqlite)) {
            const size_t begin = ++i;
            while (i < sql.size() && isDigit(sql[i])) ++i;
            Check(i > begin && i - begin < 7, "a placeholder without a number at " + std::to_string(begin));
            Check(i == sql.size() || !isWordStart(sql[i]), "a placeholder runs into a word");
            tokens.push_back({Kind::Placeholder, std::string(sql.substr(begin - 1, i - begin + 1)),
                              static_cast<size_t>(std::stoul(std::string(sql.substr(begin, i - begin))))});
        } else if ((c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') ||
                   (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*')) {
            Fail("a comment outside quotes at " + std::to_string(i));
        } else {
            static const std::set<std::string, std::less<>> kTwo = {"<=", ">=", "<>", "!="};
            static const std::string kOne = "(),.*=<>+-/%";
            if (i + 1 < sql.size() && kTwo.count(sql.substr(i, 2))) {
                tokens.push_back({Kind::Symbol, std::string(sql.substr(i, 2))});
                i += 2;
            } else if (kOne.find(c) != std::string::npos) {
                tokens.push_back({Kind::Symbol, std::string(1, c)});
                ++i;
            } else {
                Fail("the byte " + Printable(std::string(1, c)) + " outside quotes at " + std::to_string(i));
            }
        }
    }
    return tokens;
}

// ---- What the statements may name ---------------------------------------------------------------

struct Backend {
    Db db;
    const char* kind;
    const IDialect* dialect;
    std::unique_ptr<QueryTranslator> translator;
    std::unique_ptr<CountersQueryTranslator> counters;
    std::set<std::string> words;     ///< bare words: keywords and functions of the translator and dialect
    std::set<std::string> literals;  ///< string literals the dialect writes itself
};

struct World {
    std::vector<Backend> backends;
    std::map<std::string, QueryTemplate, std::less<>> templates;
    std::set<std::string> names;       ///< tables, columns, aliases of the templates and the counters
    std::set<std::string> attributes;  ///< names results may carry besides the query's own aliases
    std::vector<std::string> columns;  ///< every column a filter may name, for the decoder
    std::vector<int64_t> masks;        ///< stored masks of the counters groups
    std::map<int64_t, std::vector<std::string>> groupColumns;  ///< the counters columns of each mask
    std::vector<int64_t> presets;      ///< preset condition ids
    std::string definition;            ///< of the shipped metrics configuration
    std::unique_ptr<IConnection> sqlite;  ///< the reporting schema in memory
};

World* g_world = nullptr;

QxNodePtr ShippedMetrics()
{
    const std::string text = hostmain::ReadTextFile(CORVANE_SOURCE_DIR "/config/config-store.xml");
    for (const QxNodePtr& root : QxNodePtr::ParseAll(text))
        if (root.GetName() == "Configuration")
            if (QxNodePtr metrics = root.GetChild("OverviewMetricsConfiguration", false)) return metrics;
    Fail("config/config-store.xml has no OverviewMetricsConfiguration");
}

// Words of SQL text from configuration (a count expression, a join's ON) are the template's own.
void AddWordsOf(Db db, const std::string& sql, Backend& backend)
{
    for (const Token& token : Tokenize(db, sql))
        if (token.kind == Kind::Word) backend.words.insert(token.text);
}

void Setup()
{
    auto world = std::make_unique<World>();
    const hostmain::HostConfig config = hostmain::LoadHostConfig(CORVANE_SOURCE_DIR "/config/host.cfg.xml");
    const QxNodePtr templates = config.queriesProcessor.GetChild("QueryTemplates", false);
    const QxNodePtr metrics = ShippedMetrics();
    world->templates = ReadQueryTemplates(templates);
    const CountersTableLayout layout = CountersTableLayoutFromMetrics(metrics);
    const std::vector<AggregatedGroup> groups = ReadAggregatedGroups(metrics);
    world->definition = MetricsDefinition(layout, groups);
    for (const AggregatedGroup& group : groups) {
        world->masks.push_back(group.mask);
        for (const auto& [logical, column] : group.columns) world->groupColumns[group.mask].push_back(column);
    }
    for (const auto& [id, tree] : ReadPresetConditions(metrics)) world->presets.push_back(id);

    std::set<std::string> columns{"When"};
    for (const auto& [name, item] : world->templates) {
        world->names.insert(item.table);
        for (const std::string& column : item.columns) world->names.insert(column), columns.insert(column);
        for (const auto& [index, join] : item.joins) {
            world->names.insert({join.table, join.alias});
            for (const std::string& column : join.columns) world->names.insert(column), columns.insert(column);
        }
    }
    for (const std::string& name : {layout.table, layout.idColumn, layout.maskColumn, layout.conditionIdColumn,
                                    layout.countColumn, layout.timestampColumn, layout.spanColumn})
        world->names.insert(name);
    world->names.insert(layout.groupColumns.begin(), layout.groupColumns.end());
    world->names.insert({kMainTableAlias, "u", RecordColumns::kId});
    for (const AggregatedGroup& group : groups)
        for (const auto& [logical, column] : group.columns) world->attributes.insert(logical);
    world->attributes.insert(columns.begin(), columns.end());
    world->attributes.insert({"When", "Count"});
    world->columns.assign(columns.begin(), columns.end());

    // The words each dialect writes around the translator's own.
    const std::vector<std::string> common = {"SELECT", "FROM",  "WHERE", "AND",   "OR",    "NOT",   "IN",    "AS",
                                             "GROUP",  "BY",    "ORDER", "ASC",   "DESC",  "LIMIT", "OFFSET", "ALL",
                                             "UNION",  "INNER", "LEFT",  "JOIN",  "ON",    "SUM",   "COUNT"};
    const std::map<std::string, std::vector<std::string>> own = {
        {"sqlite", {"CAST", "strftime", "INTEGER", "NOT", "INDEXED"}},
        {"postgresql", {"CAST", "EXTRACT", "EPOCH", "date_trunc", "to_timestamp", "AT", "TIME", "ZONE", "BIGINT"}},
        {"clickhouse", {"intDiv", "toInt64", "toUnixTimestamp", "toDateTime", "toStartOfMonth", "toStartOfYear"}}};
    for (const StorageBackend& registered : StorageBackends()) {
        const std::string kind = registered.kind;
        Check(own.count(kind) != 0, "a backend this target does not know: " + kind);
        Backend backend;
        backend.db = kind == "sqlite" ? Db::Sqlite : kind == "postgresql" ? Db::Postgres : Db::ClickHouse;
        backend.kind = registered.kind;
        backend.dialect = &registered.dialect();
        backend.translator = std::make_unique<QueryTranslator>(templates, *backend.dialect);
        backend.counters = std::make_unique<CountersQueryTranslator>(*backend.translator, metrics);
        backend.words.insert(common.begin(), common.end());
        backend.words.insert(own.at(kind).begin(), own.at(kind).end());
        for (const auto& [name, item] : world->templates) {
            if (!item.countExpression.empty()) AddWordsOf(backend.db, item.countExpression, backend);
            for (const auto& [index, join] : item.joins) AddWordsOf(backend.db, join.on, backend);
        }
        for (const char* part : {"month", "year"})
            for (const Token& token : Tokenize(backend.db, backend.dialect->TruncateTime("x", 0, part)))
                if (token.kind == Kind::Text) backend.literals.insert(token.text);
        world->backends.push_back(std::move(backend));
    }

    world->sqlite = OpenStorage(ParseStorageSettings("sqlite", ":memory:"), {.create = true});
    CreateReportingSchema(*world->sqlite, layout);
    const IDialect& sqlite = world->sqlite->Dialect();
    world->sqlite->Execute(sqlite.CreateViewIfAbsent(
        "UncoveredRecords", "SELECT * FROM " + sqlite.QuoteIdentifier(kAuditRecordsTable)));
    g_world = world.release();
}

// ---- The input as a Query node ------------------------------------------------------------------

/// The input's text values (each marked) and AliasColumn texts (a result may be named by one).
struct Seen {
    std::set<std::string> values;
    std::set<std::string> aliases;
};

std::string Marked(const std::string& text)
{
    if (ParseTimeText(text)) return text;  // a time text is read as a number: nothing of it is bound as text
    return kMarker + text + kMarker;
}

/// Text form input: every text value gets the marker (the text had none: it was stripped).
void MarkValues(const QxNodePtr& node, Seen& seen, int depth = 0)
{
    if (depth > 300) return;
    uint32_t type = 0;
    for (const char* name : {"Value", "Values"}) {
        if (!node.HasAttribute(name, &type)) continue;
        if (type == QXN_TYPE_STRING) {
            std::string text;
            node.GetAttribute(name, text);
            text = Marked(text);
            node.SetAttribute(name, text);
            seen.values.insert(text);
        } else if (type == QXN_TYPE_STRING_LIST) {
            std::vector<std::string> items;
            node.GetAttribute(name, items);
            for (std::string& item : items) seen.values.insert(item = Marked(item));
            node.SetAttribute(name, items);
        }
    }
    if (node.HasAttribute("AliasColumn", &type) && type == QXN_TYPE_STRING)
        seen.aliases.insert(node.GetAttributeOr("AliasColumn", ""));
    for (const QxNodePtr& child : node.GetChildren()) MarkValues(child, seen, depth + 1);
}

// Bytes that end, escape or open something in one of the databases' SQL.
const char* const kHostile[] = {"'",   "''",  "\\",   "\\'", "\"",   "`",   "\\`", "$1",  "?1", "?",  "$",
                                "$$",  "$a$", "--",   "/*",  "*/",   ";",   "#",   "\n",  "\r", "\t", "\b",
                                "\f",  "\x01", "\xc3\xa9", "\xff", "\xe2\x80\xae", "%s", ":1", "@p", "\\0", "\\x41",
                                "\\N", "' OR 1=1 --", "\") --", "`) --", "NULL", "Removed"};

class Decoder {
public:
    Decoder(FuzzedDataProvider& in, const World& world, Seen& seen) : m_in(in), m_world(world), m_seen(seen) {}

    QxNodePtr Query(CountersCoverage& coverage)
    {
        const QxNodePtr query = QxNodePtr::Create("Q", "Query");
        static const char* const kTemplates[] = {"overview_standard", "overview_fast", "query_top_data_no_order"};
        const uint8_t which = m_in.ConsumeIntegral<uint8_t>();
        m_template = which < 250 ? kTemplates[which % 3] : Text();
        const auto found = m_world.templates.find(m_template);
        m_tpl = found == m_world.templates.end() ? nullptr : &found->second;
        query.SetAttribute("Query_Template_Name", m_template);
        const uint8_t flags = m_in.ConsumeIntegral<uint8_t>();
        if (flags & 1) Integer(query, "Top", true);
        if (flags & 2) Integer(query, "Page_size", true);
        if (flags & 4) {
            const uint8_t form = m_in.ConsumeIntegral<uint8_t>();
            if (form < 200) query.SetAttribute("DateTimeOffset", m_in.ConsumeIntegralInRange<int32_t>(-3000, 3000));
            else Integer(query, "DateTimeOffset", false);
            static const char* const kParts[] = {"second", "minute", "hour"};
            const uint8_t part = m_in.ConsumeIntegral<uint8_t>();
            query.SetAttribute("DateTimePart", part < 240 ? std::string(kParts[part % 3]) : Text());
        }
        if (flags & 8) {
            std::vector<int32_t> systems;
            for (int n = m_in.ConsumeIntegralInRange(0, 4); n > 0; --n) systems.push_back(m_in.ConsumeIntegral<int32_t>());
            if (m_in.ConsumeBool()) query.SetAttribute("Suppressed_Auditing_systems", systems);
            else Integer(query, "Suppressed_Auditing_systems", false);
        }
        if (flags & 16) {
            const QxNodePtr range = QxNodePtr::Create("TimeRange");
            range.SetAttribute("TimeFrom", TimeText());
            query.AddChild(range);
        }
        // Conditions: for a counters template mostly the shape the mask and preset processors write.
        const QxNodePtr root = QxNodePtr::Create("Conditions", "ConditionsRoot");
        const bool counters = m_tpl && !m_tpl->recordsTemplate.empty();
        // The columns filters name: the template's, or on the counters those of the mask's group.
        if (m_tpl) m_columns.assign(m_tpl->columns.begin(), m_tpl->columns.end());
        m_columns.push_back("When");
        if (counters && m_in.ConsumeIntegral<uint8_t>() < 220) {
            int64_t mask = 0;
            root.AddChild(Key("Mask", m_world.masks, &mask));
            root.AddChild(Key("ConditionId", m_world.presets));
            const auto group = m_world.groupColumns.find(mask);
            if (group != m_world.groupColumns.end()) {
                m_columns = group->second;
                m_columns.insert(m_columns.end(), {"When", m_tpl->timeColumn});
            }
        }
        if (m_in.ConsumeIntegral<uint8_t>() < 200) root.AddChild(TimeBounds());
        for (int n = m_in.ConsumeIntegralInRange(0, 3); n > 0 && m_in.remaining_bytes(); --n) root.AddChild(Condition(0));
        if (root.GetChildren().size() || m_in.ConsumeBool()) query.AddChild(root);
        if (flags & 32) {
            const QxNodePtr group = QxNodePtr::Create("GroupByRoot", "GroupByRoot");
            for (int n = m_in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
                const QxNodePtr entry = QxNodePtr::Create("", m_in.ConsumeIntegral<uint8_t>() < 250 ? "GroupByRootEntry" : "X");
                entry.SetAttribute("Column", Column());
                if (m_in.ConsumeBool()) SetAlias(entry, Alias());
                group.AddChild(entry);
            }
            query.AddChild(group);
        }
        if (flags & 64) {
            const QxNodePtr sorting = QxNodePtr::Create("SortingRoot", "SortingRoot");
            for (int n = m_in.ConsumeIntegralInRange(0, 2); n > 0; --n) {
                const QxNodePtr entry = QxNodePtr::Create("", "SortingEntry");
                entry.SetAttribute("Column", m_in.ConsumeBool() ? std::string("Count") : Column());
                static const char* const kOrders[] = {"DESC", "ASC", "desc", "Asc", ""};
                const uint8_t order = m_in.ConsumeIntegral<uint8_t>();
                if (order < 250) entry.SetAttribute("Order", kOrders[order % 5]);
                else entry.SetAttribute("Order", Text());
                if (m_in.ConsumeBool()) SetAlias(entry, Alias());
                sorting.AddChild(entry);
            }
            query.AddChild(sorting);
        }
        // What the counters cover: none yet, or from some hour on, for this configuration or another.
        const uint8_t cover = m_in.ConsumeIntegral<uint8_t>();
        if (cover % 4 != 0) coverage.startTime = kBase + m_in.ConsumeIntegralInRange<int64_t>(-60, 30) * 86400 +
                                                 (cover % 4 == 3 ? m_in.ConsumeIntegralInRange<int64_t>(0, 86399) : 0);
        static const int64_t kLastIds[] = {0, 1000, std::numeric_limits<int64_t>::max(), -1};
        coverage.lastRecordId = kLastIds[(cover >> 2) % 4];
        coverage.definition = (cover & 0x70) ? m_world.definition : std::string("another");
        return query;
    }

private:
    static constexpr int64_t kBase = 1788998400;  // 2026-09-10, a Thursday at midnight UTC

    std::string Text()
    {
        std::string text;
        for (int n = m_in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
            const uint8_t pick = m_in.ConsumeIntegral<uint8_t>();
            if (pick < 128) text += kHostile[pick % std::size(kHostile)];
            else text += m_in.ConsumeRandomLengthString(12);
        }
        // As a node keeps text: a NUL ends it, invalid UTF-8 becomes U+FFFD.
        text.erase(std::remove(text.begin(), text.end(), kMarker), text.end());
        return ToUtf8(ToUtf16(text.substr(0, text.find('\0'))));
    }

    std::string Column()
    {
        const uint8_t pick = m_in.ConsumeIntegral<uint8_t>();
        if (pick < 224) return m_columns[pick % m_columns.size()];
        if (pick < 248) return m_world.columns[pick % m_world.columns.size()];
        return Text();
    }

    std::string Alias()
    {
        const uint8_t pick = m_in.ConsumeIntegral<uint8_t>();
        if (pick < 128) return m_world.columns[pick % m_world.columns.size()];
        return Text();
    }

    int64_t Time()
    {
        const uint8_t form = m_in.ConsumeIntegral<uint8_t>();
        if (form < 8) return m_in.ConsumeIntegralInRange<int64_t>(-62135596800, 253402300799);  // years 1 to 9999
        int64_t at = kBase + m_in.ConsumeIntegralInRange<int64_t>(-80, 80) * 3600 * (form % 3 == 0 ? 24 : 1);
        if (form % 5 == 0) at += m_in.ConsumeIntegralInRange<int64_t>(0, 3599);
        if (form % 7 == 0) at += 1800;
        return at;
    }

    std::string TimeText()
    {
        std::string text = FormatUtcTime(Time());
        if (m_in.ConsumeBool()) {
            text[10] = ' ';
            text.pop_back();
        }
        return text;
    }

    void Integer(const QxNodePtr& node, const char* name, bool small)
    {
        const int64_t value = small ? m_in.ConsumeIntegralInRange<int64_t>(-2, 200) : m_in.ConsumeIntegral<int64_t>();
        switch (m_in.ConsumeIntegralInRange(0, 3)) {
            case 0: node.SetAttribute(name, static_cast<int32_t>(value)); break;
            case 1: {
                const auto number = static_cast<int32_t>(value);
                node.SetAttributeRaw(name, QXN_TYPE_INT32_ALT, &number, sizeof number);
                break;
            }
            case 2: node.SetAttribute(name, value); break;
            default: node.SetAttribute(name, Text());
        }
    }

    QxNodePtr Key(const char* column, const std::vector<int64_t>& known, int64_t* chosen = nullptr)
    {
        const QxNodePtr leaf = QxNodePtr::Create("", "ConditionValues");
        leaf.SetAttribute("Columnn", column);
        leaf.SetAttribute("Comparator", "=");
        SetAlias(leaf, column);
        const uint8_t pick = m_in.ConsumeIntegral<uint8_t>();
        const int64_t value = pick < 240 ? known[pick % known.size()] : m_in.ConsumeIntegral<int32_t>();
        if (chosen) *chosen = value;
        if (pick & 1) leaf.SetAttribute("Value", value);
        else leaf.SetAttribute("Value", static_cast<int32_t>(value));
        return leaf;
    }

    QxNodePtr TimeBounds()
    {
        const QxNodePtr both = QxNodePtr::Create("", "Condition");
        both.SetAttribute("operator", "AND");
        const std::string column = m_tpl && !m_tpl->timeColumn.empty() && m_in.ConsumeBool() ? m_tpl->timeColumn : "When";
        static const char* const kFrom[] = {">=", ">", "="};
        static const char* const kTill[] = {"<", "<=", "<>"};
        for (const char* const* comparators : {kFrom, kTill}) {
            if (m_in.ConsumeIntegral<uint8_t>() < 20) continue;
            const QxNodePtr leaf = QxNodePtr::Create("", "ConditionValues");
            leaf.SetAttribute("Columnn", column);
            const uint8_t pick = m_in.ConsumeIntegral<uint8_t>();
            leaf.SetAttribute("Comparator", comparators[pick < 230 ? 0 : pick % 3]);
            if (column != "When") SetAlias(leaf, "When");
            if (m_in.ConsumeIntegral<uint8_t>() < 220) leaf.SetAttribute("Value", TimeText());
            else leaf.SetAttribute("Value", Time());
            both.AddChild(leaf);
        }
        return both;
    }

    void Values(const QxNodePtr& leaf, bool list, bool time)
    {
        // Mostly one value under a comparator and a list under IN, time texts on the time column; the
        // rest of the time anything.
        const uint8_t form = m_in.ConsumeIntegral<uint8_t>();
        const bool usual = form < 224;
        const char* name = usual ? (list ? "Values" : "Value") : (form & 1 ? "Value" : "Values");
        int kind = usual ? (list ? 6 + form % 4 : form % 6) : form % 12;
        if (usual && time && kind != 6) kind = list ? 7 : 2;
        switch (kind) {
            case 0: case 1: leaf.SetAttribute(name, Value()); break;
            case 2: leaf.SetAttribute(name, TimeText()); break;
            case 3: leaf.SetAttribute(name, m_in.ConsumeIntegral<int32_t>()); break;
            case 4: leaf.SetAttribute(name, m_in.ConsumeIntegral<int64_t>()); break;
            case 5: {
                GUID guid{};
                m_in.ConsumeData(&guid, sizeof guid);
                leaf.SetAttribute(name, guid);
                break;
            }
            case 6: case 7: {
                std::vector<std::string> items;
                for (int n = m_in.ConsumeIntegralInRange(0, 4); n > 0; --n)
                    items.push_back(kind == 6 ? Value() : TimeText());
                leaf.SetAttribute(name, items);
                break;
            }
            case 8: {
                std::vector<int32_t> items;
                for (int n = m_in.ConsumeIntegralInRange(0, 4); n > 0; --n) items.push_back(m_in.ConsumeIntegral<int32_t>());
                leaf.SetAttribute(name, items);
                break;
            }
            case 9: {
                std::vector<GUID> items(m_in.ConsumeIntegralInRange(0, 3));
                for (GUID& guid : items) m_in.ConsumeData(&guid, sizeof guid);
                leaf.SetAttribute(name, items);
                break;
            }
            case 10: leaf.SetAttribute(name, m_in.ConsumeBool()); break;
            default: break;  // neither
        }
    }

    QxNodePtr Leaf(bool list = false)
    {
        const QxNodePtr leaf = QxNodePtr::Create("", "ConditionValues");
        std::string column;
        if (m_in.ConsumeIntegral<uint8_t>() < 250) leaf.SetAttribute("Columnn", column = Column());
        static const char* const kComparators[] = {"=", "<>", "<", "<=", ">", ">="};
        const uint8_t pick = m_in.ConsumeIntegral<uint8_t>();
        if (pick < 240) leaf.SetAttribute("Comparator", kComparators[pick % 6]);
        else leaf.SetAttribute("Comparator", Text());
        const uint8_t extra = m_in.ConsumeIntegral<uint8_t>();
        if (extra & 1) SetAlias(leaf, Alias());
        if (extra > 250) leaf.SetAttribute("JoinIndex", static_cast<int64_t>(extra & 3));
        Values(leaf, list, column == "When" || (m_tpl && column == m_tpl->timeColumn));
        return leaf;
    }

    QxNodePtr Condition(int depth)
    {
        const uint8_t kind = m_in.ConsumeIntegral<uint8_t>();
        if (depth > 6 || kind < 100 || !m_in.remaining_bytes() || --m_budget < 0) return Leaf();
        const QxNodePtr node = QxNodePtr::Create("", kind < 255 ? "Condition" : "Bogus");
        static const char* const kOperators[] = {"AND", "OR", "IN", "NOT IN"};
        const char* op = kOperators[kind % 4];
        if (kind < 252) node.SetAttribute("operator", op);
        else if (kind == 252) node.SetAttribute("operator", "and");
        else node.SetAttribute("operator", Text());
        const bool list = std::string_view(op) == "IN" || std::string_view(op) == "NOT IN";
        const int children = list ? (m_in.ConsumeIntegral<uint8_t>() < 240 ? 1 : m_in.ConsumeIntegralInRange(0, 2))
                                  : m_in.ConsumeIntegralInRange(0, 3);
        for (int n = 0; n < children && m_budget-- > 0; ++n) node.AddChild(list ? Leaf(true) : Condition(depth + 1));
        return node;
    }

    std::string Value()
    {
        std::string text = kMarker + Text() + kMarker;
        m_seen.values.insert(text);
        return text;
    }

    void SetAlias(const QxNodePtr& node, const std::string& alias)
    {
        node.SetAttribute("AliasColumn", alias);
        m_seen.aliases.insert(alias);
    }

    FuzzedDataProvider& m_in;
    const World& m_world;
    Seen& m_seen;
    int m_budget = 40;  // condition nodes: wide trees add time, not paths
    std::vector<std::string> m_columns{"When"};
    std::string m_template;
    const QueryTemplate* m_tpl = nullptr;
};

// ---- The oracle ---------------------------------------------------------------------------------

struct Outcome {
    bool ok = false;
    TranslatedQuery query;
};

Outcome Translate(const Backend& backend, const QxNodePtr& query, const CountersCoverage& coverage)
{
    Outcome outcome;
    try {
        // As the queries processor does: a counters template answers through the counters translator.
        outcome.query = backend.counters->Serves(query) ? backend.counters->Translate(query, coverage)
                                                        : backend.translator->Translate(query);
        outcome.ok = true;
    } catch (const HRX& error) {
        Check(error.Code() == kHrInvalidData,
              std::string(backend.kind) + ": refused with " + HrToText(error.Code()) + ", not 0x8007000D: " + ErrorText(error));
        if (g_show) std::fprintf(stderr, "%s refused: %s\n", backend.kind, ErrorText(error).c_str());
    } catch (const std::exception& error) {
        Fail(std::string(backend.kind) + ": threw something other than HRX: " + error.what());
    }
    return outcome;
}

struct Allowed {
    const std::set<std::string>& values;   ///< the input's text values (marked)
    const std::set<std::string>& aliases;  ///< the input's AliasColumn texts
};

/// Placeholders and names of an unbound statement (or fragment) of the backend.
void CheckTokens(const Backend& backend, const std::vector<Token>& tokens, size_t firstParameter, size_t parameters,
                 const Allowed& allowed)
{
    const World& world = *g_world;
    std::vector<int> seen(parameters + 1, 0);
    for (const Token& token : tokens) {
        switch (token.kind) {
            case Kind::Placeholder:
                Check(token.number >= firstParameter && token.number <= parameters,
                      "placeholder " + token.text + " outside " + std::to_string(firstParameter) + ".." +
                          std::to_string(parameters));
                Check(++seen[token.number] == 1, "placeholder " + token.text + " appears twice");
                break;
            case Kind::Word:
                Check(backend.words.count(token.text) != 0, "a bare word the translator never writes: " + Printable(token.text));
                break;
            case Kind::Name: {
                Check(token.text.find(kMarker) == std::string::npos, "a value's text inside a quoted name");
                std::string name = token.text;
                bool result = false;
                if (backend.db == Db::ClickHouse && name.rfind("Result_", 0) == 0) name.erase(0, 7), result = true;
                const bool known = result ? world.attributes.count(name) || allowed.aliases.count(name)
                                          : world.names.count(name) || world.attributes.count(name) ||
                                                allowed.aliases.count(name);
                Check(known, "a quoted name that is no template's, layout's or result's: " + Printable(token.text));
                break;
            }
            case Kind::Text:
                Check(backend.literals.count(token.text) != 0,
                      "a string literal in the unbound statement: '" + Printable(token.text) + "'");
                break;
            default:
                break;
        }
    }
    for (size_t i = firstParameter; i <= parameters; ++i)
        Check(seen[i] == 1, "parameter " + std::to_string(i) + " has no placeholder");
}

/// Marked parameters are input values as they were.
void CheckParameters(const std::vector<SqlValue>& parameters, const Allowed& allowed)
{
    for (const SqlValue& value : parameters)
        if (const auto* text = std::get_if<std::string>(&value))
            if (text->find(kMarker) != std::string::npos)
                Check(allowed.values.count(*text) != 0, "a bound text that is no input value: " + Printable(*text));
}

/// ClickHouse: the statement as it is sent, checked against the unbound one token by token.
void CheckClickHouseBinding(const std::string& sql, const std::vector<Token>& unbound, const std::vector<SqlValue>& parameters)
{
    // As ClickHouseStatement does: a slot per placeholder found, each bound, then the literals put in.
    const size_t slots = clickhouse::CountPlaceholders(sql);
    Check(slots == parameters.size(), "CountPlaceholders finds " + std::to_string(slots) + " for " +
                                          std::to_string(parameters.size()) + " parameters");
    std::vector<SqlValue> values(slots);
    for (size_t i = 0; i < slots; ++i) values[i] = parameters[i];
    const std::string bound = clickhouse::BindValues(sql, values);
    g_context += "\nbound: " + bound;
    const std::vector<Token> tokens = Tokenize(Db::ClickHouse, bound);
    size_t at = 0;
    const auto next = [&]() -> const Token& {
        Check(at < tokens.size(), "the bound statement ends early");
        return tokens[at++];
    };
    for (const Token& token : unbound) {
        if (token.kind != Kind::Placeholder) {
            Check(next() == token, "the bound statement differs outside the placeholders at token " + std::to_string(at));
            continue;
        }
        const SqlValue& value = parameters[token.number - 1];
        if (const auto* text = std::get_if<std::string>(&value)) {
            const Token& literal = next();
            Check(literal.kind == Kind::Text && literal.text == *text,
                  "the literal of " + token.text + " reads as '" + Printable(literal.text) + "', not '" + Printable(*text) + "'");
        } else if (const auto* number = std::get_if<int64_t>(&value)) {
            std::string digits = std::to_string(*number);
            if (*number < 0) {
                Check(next() == Token{Kind::Symbol, "("} && next() == Token{Kind::Symbol, "-"},
                      "a negative literal without its parentheses");
                digits.erase(0, 1);
            }
            Check(next() == Token{Kind::Number, digits}, "the literal of " + token.text + " is not " + std::to_string(*number));
            if (*number < 0) Check(next() == Token{Kind::Symbol, ")"}, "a negative literal left open");
        } else {
            for (const Token& expected : Tokenize(Db::ClickHouse, clickhouse::Literal(value)))
                Check(next() == expected, "the literal of " + token.text + " differs");
        }
    }
    Check(at == tokens.size(), "the bound statement has more than the unbound one");
}

/// SQLite: the statement prepares on the reporting schema, takes exactly its parameters, answers the
/// columns the translation names, and runs.
void CheckOnSqlite(const TranslatedQuery& query)
{
    std::unique_ptr<IStatement> statement;
    try {
        statement = g_world->sqlite->Prepare(query.sql);
        Check(statement->ColumnCount() == query.rowAttributes.size(),
              "SQLite answers " + std::to_string(statement->ColumnCount()) + " columns for " +
                  std::to_string(query.rowAttributes.size()) + " row attributes");
        for (size_t i = 0; i < query.parameters.size(); ++i) statement->Bind(i + 1, query.parameters[i]);
    } catch (const StorageError& error) {
        Fail(std::string("SQLite refuses the statement: ") + error.what());
    }
    bool extra = true;
    try {
        statement->Bind(query.parameters.size() + 1, SqlValue{});
    } catch (const StorageError&) {
        extra = false;
    }
    Check(!extra, "SQLite takes more parameters than were bound");
    try {
        for (int row = 0; row < 4 && statement->Next(); ++row) {
        }
    } catch (const StorageError& error) {
        Fail(std::string("SQLite fails the statement: ") + error.what());
    }
}

void CheckStatement(const Backend& backend, const TranslatedQuery& query, const Allowed& allowed)
{
    if (g_show) std::fprintf(stderr, "%s (%zu parameters): %s\n", backend.kind, query.parameters.size(), query.sql.c_str());
    g_context = std::string(backend.kind) + ": " + query.sql;
    Check(query.sql.find('\0') == std::string::npos, "the statement holds a NUL byte");
    if (backend.db != Db::ClickHouse)
        Check(query.sql.find(kMarker) == std::string::npos, "a value's text in a statement that binds parameters");
    const std::vector<Token> tokens = Tokenize(backend.db, query.sql);
    CheckTokens(backend, tokens, 1, query.parameters.size(), allowed);
    CheckParameters(query.parameters, allowed);
    Check(!query.rowAttributes.empty(), "a statement without result columns");
    if (backend.db == Db::ClickHouse) CheckClickHouseBinding(query.sql, tokens, query.parameters);
    if (backend.db == Db::Sqlite) CheckOnSqlite(query);
}

/// A condition tree as a fragment after parameters bound already, as the metrics aggregator translates presets.
void CheckCondition(const Backend& backend, const QxNodePtr& condition, const std::string& templateName, size_t before,
                    const Allowed& allowed)
{
    std::vector<SqlValue> parameters(before, SqlValue{int64_t{7}});
    std::string sql;
    try {
        sql = backend.translator->TranslateCondition(condition, templateName, parameters);
    } catch (const HRX& error) {
        Check(error.Code() == kHrInvalidData, "a condition refused with " + HrToText(error.Code()) + ": " + ErrorText(error));
        Check(parameters.size() == before, "a refused condition changed the parameters");
        return;
    } catch (const std::exception& error) {
        Fail(std::string("a condition threw something other than HRX: ") + error.what());
    }
    g_context = std::string(backend.kind) + " condition: " + sql;
    Check(parameters.size() >= before, "the parameters shrank");
    for (size_t i = 0; i < before; ++i) Check(parameters[i] == SqlValue{int64_t{7}}, "a parameter bound before changed");
    if (backend.db != Db::ClickHouse) Check(sql.find(kMarker) == std::string::npos, "a value's text in a condition");
    CheckTokens(backend, Tokenize(backend.db, sql), before + 1, parameters.size(), allowed);
    CheckParameters(parameters, allowed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!g_world) Setup();
    // A query of the module is a few kilobytes; larger inputs only slow the search down.
    if (size > 4096) return 0;
    const World& world = *g_world;
    QxNodePtr query;
    CountersCoverage coverage;
    Seen seen;
    try {
        if (size > 0 && data[0] == '<') {
            std::string text(reinterpret_cast<const char*>(data), size);
            text.erase(std::remove(text.begin(), text.end(), kMarker), text.end());
            query = QxNodePtr::Parse(text);
            MarkValues(query, seen);
            // The dashboard's seeds run against counters of this configuration that start a month back.
            coverage = {.startTime = 1786406400, .lastRecordId = 1000, .definition = world.definition};
        } else {
            FuzzedDataProvider in(data, size);
            Decoder decoder(in, world, seen);
            query = decoder.Query(coverage);
        }
    } catch (const HRX&) {
        return 0;  // not a node tree: the text form's own target covers its reader
    }
    const Allowed allowed{seen.values, seen.aliases};

    g_query = &query;
    std::string templateName;
    uint32_t type = 0;
    if (query.HasAttribute("Query_Template_Name", &type) && type == QXN_TYPE_STRING)
        query.GetAttribute("Query_Template_Name", templateName);
    const auto found = world.templates.find(templateName);

    // One backend per input, by its size: translating every input three times would cost two thirds
    // of the executions for a check (quoting) that differs only where the dialects differ.
    const Backend& backend = world.backends[size % world.backends.size()];
    g_context = backend.kind;
    if (g_show) std::fprintf(stderr, "query:\n%s", query.ToText().c_str());
    const Outcome outcome = Translate(backend, query, coverage);
    if (outcome.ok) CheckStatement(backend, outcome.query, allowed);
    g_context.clear();
    if (found != world.templates.end())
        for (const QxNodePtr& child : query.GetChildren())
            if (child.GetType() == "ConditionsRoot") CheckCondition(backend, child, templateName, size / 3 % 3, allowed);
    g_query = nullptr;
    return 0;
}
