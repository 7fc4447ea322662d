// Pieces the benchmarks share: calling a request processor, stepping a
// statement to its end as a caller that reads every row would, and the
// quantiles of a set of timings.
// Thread safety: free functions over what the caller owns.
#pragma once

#include <cstdint>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Components.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::bench {

/// One ProcessRequest; throws std::runtime_error when it fails or answers nothing.
QxNodePtr Call(IRequestProcessor& processor, const QxNodePtr& request);

/// Steps the statement to its end, or `limit` rows when not negative, reading every column; the sum of
/// the last column's integers (the counts of a counters query).
int64_t Drain(reporting::IStatement& statement, int64_t limit = -1);
/// Prepares and binds the translated query on the connection and drains it up to its row limit, as the
/// queries processor steps it. Throws StorageError.
int64_t RunDirect(reporting::IConnection& connection, const reporting::TranslatedQuery& query);

/// The sample at quantile q (0 to 1, nearest rank) of the samples; 0 for none.
double Quantile(std::vector<double> samples, double q);

}  // namespace cvn::bench
