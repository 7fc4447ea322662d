// How a group of the metrics configuration maps onto the counters table: the
// group's logical columns take the table's group columns in ascending column
// bit order, whatever the order of its attribute list. The module's mask helper
// and the host's aggregator both lay groups out with it, so they agree on the rows.
// Thread safety: pure function.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/Metrics/ColumnHelper.h"

namespace OverviewReportsProcessing {

struct GroupLayout {
    ColumnsMask mask;
    std::vector<std::pair<std::string, std::string>> columns;  ///< (logical, table), in column bit order
    size_t usedGroupColumns = 0;                               ///< the rest of the group columns stay spare
};

/// Attributes naming no groupable column are left out; the caller checks that the group is not larger
/// than groupColumns.
inline GroupLayout LayOutGroup(const std::vector<std::string>& attributes, const std::vector<std::string>& groupColumns)
{
    GroupLayout layout;
    ColumnHelper::ForEachColumn([&](std::string_view column, ColumnsMask bit) {
        for (const std::string& attribute : attributes) {
            if (attribute != column) continue;
            layout.columns.emplace_back(std::string(column), groupColumns[layout.usedGroupColumns++]);
            layout.mask.Set(bit);
            break;
        }
    });
    return layout;
}

}  // namespace OverviewReportsProcessing
