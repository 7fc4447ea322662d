// Column-to-bit lookup.
#include "common/Metrics/ColumnHelper.h"

namespace OverviewReportsProcessing::ColumnHelper {

ColumnsMask GetColumnMask(std::string_view column) noexcept
{
    ColumnsMask found(EColumnsMasks::Unknown);
    ForEachColumn([&](std::string_view name, ColumnsMask bit) {
        if (name == column) found = bit;
    });
    return found;
}

}  // namespace OverviewReportsProcessing::ColumnHelper
