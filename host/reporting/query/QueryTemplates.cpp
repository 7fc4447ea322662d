// Reading the statement templates (see QueryTemplates.h).
#include "host/reporting/query/QueryTemplates.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"

namespace cvn::reporting {

namespace {

std::string Where(const std::string& templateName) { return "query template '" + templateName + "': "; }
std::string WhereJoin(const std::string& templateName, int64_t index)
{
    return "query template '" + templateName + "' join " + std::to_string(index) + ": ";
}

std::string RequiredText(const QxNodePtr& node, const char* attribute, const std::string& context)
{
    std::string value;
    try {
        if (!node.GetAttribute(attribute, value)) value.clear();
    } catch (const HRX&) {
        ThrowHrWithDescription(kHrInvalidData, context + "\"" + attribute + "\" is not a string");
    }
    if (value.empty()) ThrowHrWithDescription(kHrInvalidData, context + "\"" + attribute + "\" is missing or empty");
    return value;
}

std::string OptionalText(const QxNodePtr& node, const char* attribute, const std::string& context)
{
    std::string value;
    try {
        node.GetAttribute(attribute, value);
    } catch (const HRX&) {
        ThrowHrWithDescription(kHrInvalidData, context + "\"" + attribute + "\" is not a string");
    }
    return value;
}

std::vector<std::string> NameList(const QxNodePtr& node, const char* attribute, const std::string& context)
{
    std::vector<std::string> names;
    try {
        node.GetAttribute(attribute, names);
    } catch (const HRX&) {
        ThrowHrWithDescription(kHrInvalidData, context + "\"" + attribute + "\" is not a list of strings");
    }
    for (const std::string& name : names)
        if (name.empty()) ThrowHrWithDescription(kHrInvalidData, context + "\"" + attribute + "\" holds an empty name");
    return names;
}

QueryJoin ReadJoin(const QxNodePtr& node, const std::string& templateName)
{
    QueryJoin join;
    uint32_t stored = 0;
    if (!node.HasAttribute("Index", &stored))
        ThrowHrWithDescription(kHrInvalidData, Where(templateName) + "a join lacks \"Index\"");
    try {
        node.GetAttribute("Index", join.index);
    } catch (const HRX&) {
        ThrowHrWithDescription(kHrInvalidData, Where(templateName) + "a join's \"Index\" is not an integer");
    }
    const std::string where = WhereJoin(templateName, join.index);
    if (join.index <= 0) ThrowHrWithDescription(kHrInvalidData, Where(templateName) + "join index must be positive");
    join.table = RequiredText(node, "Table", where);
    join.alias = RequiredText(node, "Alias", where);
    join.on = RequiredText(node, "On", where);
    join.type = OptionalText(node, "Type", where);
    if (join.type.empty()) join.type = "INNER";
    if (join.type != "INNER" && join.type != "LEFT")
        ThrowHrWithDescription(kHrInvalidData, where + "\"Type\" must be INNER or LEFT, not '" + join.type + "'");
    if (join.alias == kMainTableAlias) ThrowHrWithDescription(kHrInvalidData, where + "alias 't' is the main table's");
    for (std::string& column : NameList(node, "Columns", where)) join.columns.insert(std::move(column));
    if (join.columns.empty()) ThrowHrWithDescription(kHrInvalidData, where + "\"Columns\" is missing or empty");
    return join;
}

QueryTemplate ReadTemplate(const QxNodePtr& node)
{
    QueryTemplate result;
    result.name = node.GetName();
    if (result.name.empty()) ThrowHrWithDescription(kHrInvalidData, "a query template has no name");
    const std::string& name = result.name;
    result.table = RequiredText(node, "Table", Where(name));
    for (std::string& column : NameList(node, "Columns", Where(name))) result.columns.insert(std::move(column));
    if (result.columns.empty()) ThrowHrWithDescription(kHrInvalidData, Where(name) + "\"Columns\" is missing or empty");
    result.countExpression = OptionalText(node, "CountExpression", Where(name));
    result.select = NameList(node, "Select", Where(name));
    if (result.countExpression.empty() == result.select.empty())
        ThrowHrWithDescription(kHrInvalidData,
                               Where(name) + "exactly one of \"CountExpression\" and \"Select\" must be given");
    for (const std::string& column : result.select)
        if (!result.columns.count(column))
            ThrowHrWithDescription(kHrInvalidData,
                                   Where(name) + "selected column '" + column + "' is not in \"Columns\"");
    result.timeColumn = OptionalText(node, "TimeColumn", Where(name));
    if (!result.timeColumn.empty() && !result.columns.count(result.timeColumn))
        ThrowHrWithDescription(kHrInvalidData,
                               Where(name) + "\"TimeColumn\" '" + result.timeColumn + "' is not in \"Columns\"");
    const std::string groupByTime = OptionalText(node, "GroupByTime", Where(name));
    result.timeGroupPart = OptionalText(node, "TimeGroupPart", Where(name));
    if (!groupByTime.empty()) {
        result.groupByTime = true;
        result.timeGroupPart = groupByTime;
    }
    if (result.timeGroupPart.empty()) result.timeGroupPart = "day";
    static const std::set<std::string> kParts = {"second", "minute", "hour", "day", "month", "year"};
    if (!kParts.count(result.timeGroupPart))
        ThrowHrWithDescription(kHrInvalidData, Where(name) + "unknown time part '" + result.timeGroupPart + "'");
    if ((result.groupByTime) && (result.timeColumn.empty() || result.ReturnsRows()))
        ThrowHrWithDescription(kHrInvalidData,
                               Where(name) + "\"GroupByTime\" needs a \"TimeColumn\" and a \"CountExpression\"");
    result.auditingSystemColumn = OptionalText(node, "AuditingSystemColumn", Where(name));
    if (!result.auditingSystemColumn.empty() && !result.columns.count(result.auditingSystemColumn))
        ThrowHrWithDescription(kHrInvalidData, Where(name) + "\"AuditingSystemColumn\" '" +
                                                   result.auditingSystemColumn + "' is not in \"Columns\"");
    result.recordsTemplate = OptionalText(node, "RecordsTemplate", Where(name));
    if (!result.recordsTemplate.empty() && (result.ReturnsRows() || result.timeColumn.empty()))
        ThrowHrWithDescription(kHrInvalidData,
                               Where(name) + "\"RecordsTemplate\" needs a \"TimeColumn\" and a \"CountExpression\"");
    for (const QxNodePtr& child : node.GetChildren()) {
        if (child.GetType() != "Join")
            ThrowHrWithDescription(kHrInvalidData, Where(name) + "unexpected child of type '" + child.GetType() + "'");
        QueryJoin join = ReadJoin(child, name);
        const int64_t index = join.index;
        if (!result.joins.emplace(index, std::move(join)).second)
            ThrowHrWithDescription(kHrInvalidData,
                                   Where(name) + "join index " + std::to_string(index) + " is given twice");
    }
    return result;
}

}  // namespace

std::map<std::string, QueryTemplate, std::less<>> ReadQueryTemplates(const QxNodePtr& templates)
{
    if (!templates) ThrowHrWithDescription(kHrInvalidData, "no query templates are configured");
    std::map<std::string, QueryTemplate, std::less<>> result;
    for (const QxNodePtr& child : templates.GetChildren()) {
        QueryTemplate item = ReadTemplate(child);
        const std::string name = item.name;
        if (!result.emplace(name, std::move(item)).second)
            ThrowHrWithDescription(kHrInvalidData, "query template '" + name + "' is configured twice");
    }
    if (result.empty()) ThrowHrWithDescription(kHrInvalidData, "no query templates are configured");
    for (const auto& [name, item] : result) {
        if (item.recordsTemplate.empty()) continue;
        const auto records = result.find(item.recordsTemplate);
        if (records == result.end() || records->second.ReturnsRows() || records->second.timeColumn.empty() ||
            records->second.timeGroupPart != item.timeGroupPart || records->second.groupByTime != item.groupByTime)
            ThrowHrWithDescription(kHrInvalidData, Where(name) + "\"RecordsTemplate\" '" + item.recordsTemplate +
                                                       "' must name a counting template with a \"TimeColumn\" "
                                                       "and the same time grouping");
    }
    return result;
}

}  // namespace cvn::reporting
