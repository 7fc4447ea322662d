// One statement under construction over one template: resolves the columns a
// filter names, translates condition trees and binds every value.
// Thread safety: one per translation, on one thread.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/query/QueryTemplates.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// A filter column made safe: its SQL (built from configuration names only) and how results name it.
struct ResolvedColumn {
    std::string sql;
    std::string attribute;  ///< the logical name ("AliasColumn" when the alias processor ran)
    bool isTime = false;
};

class QueryStatement {
public:
    QueryStatement(const QueryTemplate& queryTemplate, const IDialect& dialect, std::vector<SqlValue>& params)
        : m_template(queryTemplate), m_dialect(dialect), m_params(params)
    {
    }

    /// The column a leaf names; HRX 0x8007000D for a column outside the template or its joins, or a
    /// "JoinIndex" that the template does not define.
    ResolvedColumn Resolve(const QxNodePtr& leaf, const std::string& column);
    /// A condition node ("Condition", "ConditionValues" or a root holding them) as SQL; HRX 0x8007000D
    /// naming the unknown operator, comparator or node type. An empty AND is true, an empty OR false.
    std::string Condition(const QxNodePtr& node, int depth = 0);
    /// Appends the value to the parameters and returns its placeholder.
    std::string Bind(SqlValue value);
    std::string Quote(const std::string& name) const { return m_dialect.QuoteIdentifier(name); }
    /// FROM clause with the joins that resolved columns used.
    std::string From() const;
    bool UsesJoins() const noexcept { return !m_usedJoins.empty(); }
    /// From() reads the main table by its integer key only (the dialect's hint).
    void UseKeyOnlyAccess() noexcept { m_keyOnlyAccess = true; }
    const QueryTemplate& Template() const noexcept { return m_template; }

private:
    std::string Leaf(const QxNodePtr& leaf);
    std::string List(const QxNodePtr& leaf, bool negated);
    std::string Group(const QxNodePtr& node, const std::string& op, int depth);

    const QueryTemplate& m_template;
    const IDialect& m_dialect;
    std::vector<SqlValue>& m_params;
    std::set<int64_t> m_usedJoins;
    bool m_keyOnlyAccess = false;
};

}  // namespace cvn::reporting
