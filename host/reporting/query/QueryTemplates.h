// Statement templates of the queries processor, read from its configuration:
// the table, the columns a filter may name, the count expression, the time
// column and the joins. See docs/query-templates.md.
// Thread safety: immutable after construction.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::reporting {

/// One join a template offers; leaves reach its columns by "JoinIndex".
struct QueryJoin {
    int64_t index = 0;
    std::string table;
    std::string alias;              ///< table alias used in the ON text and to qualify columns
    std::string type;               ///< "INNER" or "LEFT"
    std::string on;                 ///< ON condition, configuration text
    std::set<std::string> columns;  ///< columns of the joined table a filter may name
};

struct QueryTemplate {
    std::string name;
    std::string table;
    std::set<std::string> columns;     ///< columns of the main table a filter may name
    std::string countExpression;       ///< empty for a template that returns rows
    std::vector<std::string> select;   ///< result columns of a rows template, in order
    std::string timeColumn;            ///< the column "When" stands for; empty: no time filtering
    std::string timeGroupPart;         ///< part a "When" grouping truncates to (default "day")
    bool groupByTime = false;          ///< always group by the time bucket first
    std::string auditingSystemColumn;  ///< target of "Suppressed_Auditing_systems"; empty: refused
    std::string recordsTemplate;       ///< a counters template: the template over the records it counts
    std::map<int64_t, QueryJoin> joins;

    bool ReturnsRows() const noexcept { return countExpression.empty(); }
};

/// The alias of the main table in every statement.
inline constexpr const char* kMainTableAlias = "t";

/// Reads every child of the templates node. Throws HRX 0x8007000D naming the template and the
/// missing or malformed attribute; a null node or one without templates is refused the same way.
std::map<std::string, QueryTemplate, std::less<>> ReadQueryTemplates(const QxNodePtr& templates);

}  // namespace cvn::reporting
