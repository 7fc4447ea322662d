// Translation of a "Query" node into one statement (see QueryTranslator.h and
// docs/query-templates.md).
#include "host/reporting/query/QueryTranslator.h"

#include <algorithm>
#include <map>

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/query/QueryStatement.h"
#include "host/reporting/query/QueryTemplates.h"

namespace cvn::reporting {

struct QueryTranslator::Impl {
    std::map<std::string, QueryTemplate, std::less<>> templates;
    const IDialect& dialect;

    const QueryTemplate& Find(const std::string& name) const
    {
        const auto found = templates.find(name);
        if (found == templates.end()) ThrowHrWithDescription(kHrInvalidData, "unknown query template '" + name + "'");
        return found->second;
    }
};

namespace {

struct Grouping {
    std::string sql;
    std::string attribute;
};

int64_t IntegerAttribute(const QxNodePtr& query, const char* name, int64_t fallback)
{
    uint32_t type = 0;
    if (!query.HasAttribute(name, &type)) return fallback;
    if (type != QXN_TYPE_INT32 && type != QXN_TYPE_INT32_ALT && type != QXN_TYPE_INT64)
        ThrowHrWithDescription(kHrInvalidData, std::string("\"") + name + "\" is not an integer");
    int64_t value = 0;
    query.GetAttribute(name, value);
    return value;
}

std::string TextAttribute(const QxNodePtr& node, const char* name)
{
    uint32_t type = 0;
    std::string value;
    if (!node.HasAttribute(name, &type)) return value;
    if (type != QXN_TYPE_STRING)
        ThrowHrWithDescription(kHrInvalidData, std::string("\"") + name + "\" is not a string");
    node.GetAttribute(name, value);
    return value;
}

}  // namespace

int64_t QueryTimeOffsetSeconds(const QxNodePtr& query)
{
    const int64_t offset = IntegerAttribute(query, "DateTimeOffset", 0);
    std::string part = TextAttribute(query, "DateTimePart");
    if (part.empty()) part = "second";
    static const std::map<std::string, int64_t> kUnits = {{"second", 1}, {"minute", 60}, {"hour", 3600}};
    const auto unit = kUnits.find(part);
    if (unit == kUnits.end()) ThrowHrWithDescription(kHrInvalidData, "unknown \"DateTimePart\" '" + part + "'");
    if (offset < -86400 * 2 / unit->second || offset > 86400 * 2 / unit->second)
        ThrowHrWithDescription(kHrInvalidData,
                               "\"DateTimeOffset\" " + std::to_string(offset) + " " + part + " is out of range");
    return offset * unit->second;
}

namespace {

std::vector<int64_t> SuppressedSystems(const QxNodePtr& query)
{
    uint32_t type = 0;
    std::vector<int64_t> systems;
    if (!query.HasAttribute("Suppressed_Auditing_systems", &type)) return systems;
    if (type == QXN_TYPE_INT32_ARRAY) {
        std::vector<int32_t> list;
        query.GetAttribute("Suppressed_Auditing_systems", list);
        systems.assign(list.begin(), list.end());
    } else {
        systems.push_back(IntegerAttribute(query, "Suppressed_Auditing_systems", 0));
    }
    return systems;
}

int64_t RowLimit(const QxNodePtr& query)
{
    int64_t limit = -1;
    for (const char* name : {"Top", "Page_size"}) {
        const int64_t value = IntegerAttribute(query, name, -1);
        if (value == -1 && !query.HasAttribute(name)) continue;
        if (value <= 0)
            ThrowHrWithDescription(kHrInvalidData,
                                   std::string("\"") + name + "\" must be positive, not " + std::to_string(value));
        limit = limit < 0 ? value : std::min(limit, value);
    }
    return limit;
}

std::vector<QxNodePtr> Section(const QxNodePtr& query, const char* type, const char* entryType)
{
    std::vector<QxNodePtr> entries;
    for (const QxNodePtr& child : query.GetChildren()) {
        if (child.GetType() != type) continue;
        for (const QxNodePtr& entry : child.GetChildren()) {
            if (entry.GetType() != entryType)
                ThrowHrWithDescription(kHrInvalidData,
                                       std::string("unexpected node of type '") + entry.GetType() + "' in " + type);
            entries.push_back(entry);
        }
    }
    return entries;
}

std::string ColumnOf(const QxNodePtr& entry)
{
    const std::string column = TextAttribute(entry, "Column");
    if (column.empty()) ThrowHrWithDescription(kHrInvalidData, entry.GetType() + " lacks \"Column\"");
    return column;
}

void AddGrouping(std::vector<Grouping>& groups, Grouping grouping)
{
    for (const Grouping& existing : groups)
        if (existing.sql == grouping.sql) return;
    groups.push_back(std::move(grouping));
}

}  // namespace

QueryTranslator::QueryTranslator(const QxNodePtr& templates, const IDialect& dialect)
    : m_impl(new Impl{ReadQueryTemplates(templates), dialect})
{
}

QueryTranslator::~QueryTranslator() = default;

const QueryTemplate& QueryTranslator::Template(const std::string& name) const { return m_impl->Find(name); }

const IDialect& QueryTranslator::Dialect() const noexcept { return m_impl->dialect; }

TranslatedQuery QueryTranslator::Translate(const QxNodePtr& query) const { return Build(query, nullptr); }

TranslatedQuery QueryTranslator::TranslatePart(const QxNodePtr& query, QueryPart part) const
{
    return Build(query, &part);
}

TranslatedQuery QueryTranslator::Build(const QxNodePtr& query, QueryPart* part) const
{
    if (!query) ThrowHrWithDescription(kHrInvalidData, "no query to translate");
    const std::string templateName = TextAttribute(query, "Query_Template_Name");
    if (templateName.empty()) ThrowHrWithDescription(kHrInvalidData, "query has no \"Query_Template_Name\"");
    const QueryTemplate& tpl = m_impl->Find(templateName);
    const IDialect& dialect = m_impl->dialect;
    TranslatedQuery result;
    if (part) result.parameters = std::move(part->params);
    QueryStatement statement(tpl, dialect, result.parameters);
    if (part && part->keyOnlyAccess) statement.UseKeyOnlyAccess();

    // Conditions first: their placeholders are the only ones, in text order.
    std::vector<std::string> terms;
    for (const QxNodePtr& child : query.GetChildren())
        if (child.GetType() == "ConditionsRoot") terms.push_back(statement.Condition(child));
    const std::vector<int64_t> suppressed = SuppressedSystems(query);
    if (!suppressed.empty()) {
        if (tpl.auditingSystemColumn.empty())
            ThrowHrWithDescription(
                kHrInvalidData,
                "query template '" + tpl.name + "' has no auditing system column for \"Suppressed_Auditing_systems\"");
        std::string sql = statement.Quote(kMainTableAlias) + "." + statement.Quote(tpl.auditingSystemColumn) + " NOT IN (";
        for (size_t i = 0; i < suppressed.size(); ++i) sql += (i ? ", " : "") + statement.Bind(suppressed[i]);
        terms.push_back(sql + ")");
    }
    if (part && part->extraWhere) terms.push_back(part->extraWhere(statement));

    const int64_t offset = QueryTimeOffsetSeconds(query);
    std::vector<Grouping> groups;
    const std::vector<QxNodePtr> groupEntries = Section(query, "GroupByRoot", "GroupByRootEntry");
    const std::vector<QxNodePtr> sortEntries = Section(query, "SortingRoot", "SortingEntry");
    if (tpl.ReturnsRows() && (!groupEntries.empty() || !sortEntries.empty()))
        ThrowHrWithDescription(kHrInvalidData, "query template '" + tpl.name +
                                                   "' returns unordered rows; grouping and sorting are not allowed");
    auto timeBucket = [&](const std::string& columnSql) {
        return Grouping{dialect.TruncateTime(columnSql, offset, tpl.timeGroupPart), "When"};
    };
    if (tpl.groupByTime)
        AddGrouping(groups, timeBucket(statement.Quote(kMainTableAlias) + "." + statement.Quote(tpl.timeColumn)));
    for (const QxNodePtr& entry : groupEntries) {
        const ResolvedColumn column = statement.Resolve(entry, ColumnOf(entry));
        AddGrouping(groups, column.isTime ? timeBucket(column.sql) : Grouping{column.sql, column.attribute});
    }

    std::string orderBy;
    for (const QxNodePtr& entry : sortEntries) {
        const std::string column = ColumnOf(entry);
        std::string order = TextAttribute(entry, "Order");
        std::transform(order.begin(), order.end(), order.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
        if (!order.empty() && order != "ASC" && order != "DESC")
            ThrowHrWithDescription(kHrInvalidData, "unknown sorting order '" + TextAttribute(entry, "Order") +
                                                       "' on column '" + column + "'");
        std::string sql, attribute;
        if (column == "Count" || TextAttribute(entry, "AliasColumn") == "Count") {
            sql = dialect.ResultAlias("Count");
            attribute = "Count";
        } else {
            const ResolvedColumn resolved = statement.Resolve(entry, column);
            const std::string key = resolved.isTime ? timeBucket(resolved.sql).sql : resolved.sql;
            for (const Grouping& group : groups)
                if (group.sql == key) sql = key, attribute = group.attribute;
            if (sql.empty()) ThrowHrWithDescription(kHrInvalidData, "sorting column '" + column + "' is not grouped");
        }
        const std::string direction = order == "DESC" ? " DESC" : " ASC";
        orderBy += (orderBy.empty() ? " ORDER BY " : ", ") + sql + direction;
        result.orderBy.push_back(dialect.ResultAlias(attribute) + direction);
    }

    std::string select;
    for (const Grouping& group : groups) {
        select += (select.empty() ? "" : ", ") + group.sql + " AS " + dialect.ResultAlias(group.attribute);
        result.rowAttributes.push_back(group.attribute);
    }
    if (tpl.ReturnsRows()) {
        for (const std::string& column : tpl.select) {
            select += (select.empty() ? "" : ", ") + statement.Quote(kMainTableAlias) + "." + statement.Quote(column);
            result.rowAttributes.push_back(column);
        }
    } else {
        select += (select.empty() ? "" : ", ") + tpl.countExpression + " AS " + dialect.ResultAlias("Count");
        result.rowAttributes.push_back("Count");
    }
    result.sql = "SELECT " + select + " FROM " + statement.From();
    for (size_t i = 0; i < terms.size(); ++i) result.sql += (i ? " AND " : " WHERE ") + terms[i];
    for (size_t i = 0; i < groups.size(); ++i) result.sql += (i ? ", " : " GROUP BY ") + groups[i].sql;
    result.rowLimit = RowLimit(query);
    if (part) return result;
    result.sql += orderBy;
    if (result.rowLimit > 0) result.sql += " " + dialect.LimitClause(result.rowLimit, 0);
    return result;
}

std::string QueryTranslator::TranslateCondition(const QxNodePtr& condition, const std::string& templateName,
                                                std::vector<SqlValue>& params) const
{
    if (!condition) ThrowHrWithDescription(kHrInvalidData, "no condition to translate");
    std::vector<SqlValue> local = params;
    QueryStatement statement(m_impl->Find(templateName), m_impl->dialect, local);
    std::string sql = statement.Condition(condition);
    if (statement.UsesJoins())
        ThrowHrWithDescription(kHrInvalidData,
                               "a condition fragment cannot use joins of query template '" + templateName + "'");
    params = std::move(local);
    return sql;
}

}  // namespace cvn::reporting
