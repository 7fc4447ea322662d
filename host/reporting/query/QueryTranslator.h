// Translation of a queries processor's "Query" node (the module's filter tree)
// into one SQL statement with every value bound as a parameter. Statement
// templates come from the service's configuration, never from code.
// Thread safety: a translator is immutable after construction and may serve
// any number of threads at once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// A statement ready to run, and how its result columns become row attributes.
struct TranslatedQuery {
    std::string sql;
    std::vector<SqlValue> parameters;          ///< in placeholder order
    std::vector<std::string> rowAttributes;    ///< attribute of each result column; "Count" last unless the template returns rows
    int64_t rowLimit = -1;                     ///< "Top"/"Page_size" when given, else -1
    std::vector<std::string> orderBy;          ///< the sorting as terms over the result's column names
};

class QueryStatement;
struct QueryTemplate;

/// How a translation becomes one part of a statement that combines several: its placeholders
/// continue after `params`, ORDER BY and the row limit are left out (the wrapper applies orderBy and
/// rowLimit), and `extraWhere`, when set, adds a term bound through the statement.
struct QueryPart {
    std::vector<SqlValue> params;
    std::function<std::string(QueryStatement&)> extraWhere;
    bool keyOnlyAccess = false;  ///< read the main table by its integer key (IDialect::KeyOnlyAccessHint)
};

class QueryTranslator {
public:
    /// templates: the service's configuration node holding the statement templates (see docs).
    /// Throws HRX 0x8007000D naming the template or attribute that is malformed.
    QueryTranslator(const QxNodePtr& templates, const IDialect& dialect);
    ~QueryTranslator();

    /// Throws HRX 0x8007000D with a message naming the unknown template, column, operator or
    /// comparator, or the value that cannot be read; no SQL text is ever built from values.
    TranslatedQuery Translate(const QxNodePtr& query) const;
    /// The query as a part of a larger statement (see QueryPart); throws as Translate.
    TranslatedQuery TranslatePart(const QxNodePtr& query, QueryPart part) const;
    /// The template of that name; HRX 0x8007000D when none is configured.
    const QueryTemplate& Template(const std::string& name) const;
    const IDialect& Dialect() const noexcept;

    /// A condition tree (a preset's, or a ConditionsRoot) as a WHERE fragment over template's columns,
    /// parameters appended to params; used by the metrics aggregator.
    std::string TranslateCondition(const QxNodePtr& condition, const std::string& templateName,
                                   std::vector<SqlValue>& params) const;

private:
    TranslatedQuery Build(const QxNodePtr& query, QueryPart* part) const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

/// The query's time zone shift in seconds ("DateTimeOffset" in units of "DateTimePart"); HRX
/// 0x8007000D for an unknown unit or a shift beyond two days.
int64_t QueryTimeOffsetSeconds(const QxNodePtr& query);

}  // namespace cvn::reporting
