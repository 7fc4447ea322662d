// Translation of a queries processor's "Query" node (the module's filter tree)
// into one SQL statement with every value bound as a parameter. Statement
// templates come from the service's configuration, never from code.
// Thread safety: a translator is immutable after construction and may serve
// any number of threads at once.
#pragma once

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

    /// A condition tree (a preset's, or a ConditionsRoot) as a WHERE fragment over template's columns,
    /// parameters appended to params; used by the metrics aggregator.
    std::string TranslateCondition(const QxNodePtr& condition, const std::string& templateName,
                                   std::vector<SqlValue>& params) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace cvn::reporting
