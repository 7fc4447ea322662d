// Sub-responses printed for people: a heading with the method and the time
// the answer took, then the top rows by count as an aligned table.
// Thread safety: pure functions over the given nodes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::hostmain {

/// "fast", "standard", or "method ?" when the meta information does not say.
std::string MethodName(const QxNodePtr& subResponse);

/// The rows of the sub-response's result (children of its "Counters" child), largest "Count" first;
/// empty when it has no result.
std::vector<QxNodePtr> RowsByCount(const QxNodePtr& subResponse);

/// Prints one sub-response: its status, method and seconds, then at most top rows (columns in the
/// order of the first row, "Count" last). A failed one prints its "ResultCode" and error instead.
void PrintSubResponse(std::ostream& out, const QxNodePtr& subResponse, double seconds, size_t top);

}  // namespace cvn::hostmain
