// Columns and conditions of one statement (see QueryStatement.h).
#include "host/reporting/query/QueryStatement.h"

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/query/QueryValues.h"

namespace cvn::reporting {

namespace {

constexpr int kMaxDepth = 256;  // deeper trees are refused rather than risking the stack

std::string ColumnOf(const QxNodePtr& leaf, const char* attribute)
{
    std::string column;
    uint32_t type = 0;
    if (!leaf.HasAttribute(attribute, &type) || type != QXN_TYPE_STRING || !leaf.GetAttribute(attribute, column) ||
        column.empty())
        ThrowHrWithDescription(kHrInvalidData, leaf.GetType() + " lacks a column name in \"" + attribute + "\"");
    return column;
}

std::string TextAttribute(const QxNodePtr& node, const char* attribute)
{
    uint32_t type = 0;
    std::string value;
    if (node.HasAttribute(attribute, &type) && type == QXN_TYPE_STRING) node.GetAttribute(attribute, value);
    return value;
}

}  // namespace

std::string QueryStatement::Bind(SqlValue value)
{
    m_params.push_back(std::move(value));
    return m_dialect.Placeholder(m_params.size());
}

ResolvedColumn QueryStatement::Resolve(const QxNodePtr& leaf, const std::string& column)
{
    ResolvedColumn result;
    const std::string alias = TextAttribute(leaf, "AliasColumn");
    result.attribute = alias.empty() ? column : alias;
    int64_t joinIndex = 0;
    if (leaf.HasAttribute("JoinIndex")) {
        try {
            leaf.GetAttribute("JoinIndex", joinIndex);
        } catch (...) {
            ThrowHrWithDescription(kHrInvalidData, "\"JoinIndex\" of column '" + column + "' is not an integer");
        }
    }
    if (joinIndex != 0) {
        if (m_template.joins.empty())
            ThrowHrWithDescription(kHrInvalidData, "query template '" + m_template.name +
                                                       "' defines no joins, but column '" + column +
                                                       "' has JoinIndex " + std::to_string(joinIndex));
        const auto join = m_template.joins.find(joinIndex);
        if (join == m_template.joins.end())
            ThrowHrWithDescription(kHrInvalidData, "query template '" + m_template.name + "' has no join " +
                                                       std::to_string(joinIndex) + " (column '" + column + "')");
        std::string name = column;
        const std::string prefix = join->second.alias + ".";
        if (name.compare(0, prefix.size(), prefix) == 0) name.erase(0, prefix.size());
        if (!join->second.columns.count(name))
            ThrowHrWithDescription(kHrInvalidData, "column '" + column + "' is not a column of join " +
                                                       std::to_string(joinIndex) + " of query template '" +
                                                       m_template.name + "'");
        m_usedJoins.insert(joinIndex);
        result.sql = Quote(join->second.alias) + "." + Quote(name);
        return result;
    }
    std::string name = column;
    if (name == "When" && !m_template.timeColumn.empty()) name = m_template.timeColumn;
    if (!m_template.columns.count(name))
        ThrowHrWithDescription(kHrInvalidData,
                               "column '" + column + "' is not a column of query template '" + m_template.name + "'");
    result.isTime = !m_template.timeColumn.empty() && name == m_template.timeColumn;
    if (result.isTime) result.attribute = "When";
    result.sql = Quote(kMainTableAlias) + "." + Quote(name);
    return result;
}

std::string QueryStatement::Condition(const QxNodePtr& node, int depth)
{
    if (depth > kMaxDepth) ThrowHrWithDescription(kHrInvalidData, "condition tree is nested too deeply");
    const std::string type = node.GetType();
    if (type == "ConditionValues") return Leaf(node);
    if (type == "ConditionsRoot") return Group(node, "AND", depth);
    if (type != "Condition")
        ThrowHrWithDescription(kHrInvalidData, "unexpected node of type '" + type + "' in the conditions");
    const std::string op = TextAttribute(node, "operator");
    if (op == "AND" || op == "OR") return Group(node, op, depth);
    if (op == "IN" || op == "NOT IN") {
        const std::vector<QxNodePtr> children = node.GetChildren();
        if (children.size() != 1 || children[0].GetType() != "ConditionValues")
            ThrowHrWithDescription(kHrInvalidData,
                                   "an " + op + " condition must hold exactly one ConditionValues node");
        return List(children[0], op == "NOT IN");
    }
    ThrowHrWithDescription(
        kHrInvalidData, op.empty() ? std::string("condition without \"operator\"") : "unknown operator '" + op + "'");
}

std::string QueryStatement::Group(const QxNodePtr& node, const std::string& op, int depth)
{
    std::string sql;
    for (const QxNodePtr& child : node.GetChildren()) {
        sql += sql.empty() ? "(" : " " + op + " ";
        sql += Condition(child, depth + 1);
    }
    if (sql.empty()) return op == "AND" ? "1=1" : "1=0";
    return sql + ")";
}

std::string QueryStatement::Leaf(const QxNodePtr& leaf)
{
    static const std::set<std::string> kComparators = {"=", "<>", "<", "<=", ">", ">="};
    const std::string column = ColumnOf(leaf, "Columnn");
    const ResolvedColumn resolved = Resolve(leaf, column);
    const std::string comparator = TextAttribute(leaf, "Comparator");
    if (!kComparators.count(comparator))
        ThrowHrWithDescription(
            kHrInvalidData, comparator.empty() ? "condition on column '" + column + "' has no \"Comparator\""
                                               : "unknown comparator '" + comparator + "' on column '" + column + "'");
    bool isList = false;
    std::vector<SqlValue> values = ReadLeafValues(leaf, column, resolved.isTime, isList);
    if (isList || values.size() != 1)
        ThrowHrWithDescription(kHrInvalidData,
                               "a list of values on column '" + column + "' needs an IN or NOT IN condition");
    return resolved.sql + " " + comparator + " " + Bind(std::move(values[0]));
}

std::string QueryStatement::List(const QxNodePtr& leaf, bool negated)
{
    const std::string column = ColumnOf(leaf, "Columnn");
    const ResolvedColumn resolved = Resolve(leaf, column);
    bool isList = false;
    std::vector<SqlValue> values = ReadLeafValues(leaf, column, resolved.isTime, isList);
    if (values.empty()) return negated ? "1=1" : "1=0";
    std::string sql = resolved.sql + (negated ? " NOT IN (" : " IN (");
    for (size_t i = 0; i < values.size(); ++i) sql += (i ? ", " : "") + Bind(std::move(values[i]));
    return sql + ")";
}

std::string QueryStatement::From() const
{
    std::string sql = Quote(m_template.table) + " AS " + Quote(kMainTableAlias);
    if (m_keyOnlyAccess) sql += m_dialect.KeyOnlyAccessHint();
    for (int64_t index : m_usedJoins) {
        const QueryJoin& join = m_template.joins.at(index);
        sql += " " + join.type + " JOIN " + Quote(join.table) + " AS " + Quote(join.alias) + " ON " + join.on;
    }
    return sql;
}

}  // namespace cvn::reporting
