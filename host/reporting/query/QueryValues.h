// Reading filter values into bound parameters: strings, integers, GUIDs (as
// braced upper-case text) and the two time texts the module writes (as unix
// seconds UTC).
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Helpers/PrimitiveText.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// "YYYY-MM-DDTHH:MM:SSZ" or "YYYY-MM-DD HH:MM:SS" (UTC) as unix seconds; none for any other text
/// or an impossible date or time.
std::optional<int64_t> ParseTimeText(std::string_view text) noexcept;

/// Unix seconds as "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatUtcTime(int64_t unixSeconds);

/// The values of a leaf: its "Value" (one) or its "Values" (list); isTime converts time texts.
/// Throws HRX 0x8007000D naming the column when neither is there, the type is not one a filter
/// may carry, or a time text cannot be read.
std::vector<SqlValue> ReadLeafValues(const QxNodePtr& leaf, const std::string& column, bool isTime, bool& isList);

}  // namespace cvn::reporting
