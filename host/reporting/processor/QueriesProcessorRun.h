// One translated query run on a connection, its rows written as result nodes.
// Thread safety: uses only the given connection and builds a new tree.
#pragma once

#include <cstdint>

#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// Prepares, binds and steps the query; the answer is a node named "Result" of type "QueryResult" with
/// "Status" 0, 64-bit "RowCount" and one child "Row" per row: column i becomes attribute
/// rowAttributes[i] (64-bit integers stay integers, text and reals are strings, NULL is ""); a last
/// column named "Count" is always 64-bit (NULL is 0). At most query.rowLimit rows are taken when it is not negative
/// (the query's own top-N; no error). Throws StorageError; HRX 0x80041911 when more than maxRows rows would be
/// answered; HRX 0x8007000D when the statement's column count differs from rowAttributes.
QxNodePtr RunTranslatedQuery(IConnection& connection, const TranslatedQuery& query, int64_t maxRows);

/// The answer of a failed query: "Result" of type "QueryResult", "Status" 2 and the error's
/// "Error_Result" and "Error_Serialized".
QxNodePtr ErrorAnswer(const HRX& error);

}  // namespace cvn::reporting
