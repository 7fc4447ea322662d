// MaskHelper: the process-wide metrics configuration of the pre-aggregated
// counters (groups, their column mapping, preset conditions, table column names)
// and the queries that filter processing asks of it.
// Thread safety: read-only after construction, so every query may run on any
// thread at once; the process-wide instance is created once under a lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Metrics/ColumnHelper.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace OverviewReportsProcessing {

/// One group of the counters table: which table column holds which logical column.
struct GroupInfo {
    std::vector<std::pair<std::string, std::string>> ColumnMap;          ///< (logical, table), in column bit order
    std::vector<std::pair<std::string, std::string>> SpareTableColumns;  ///< ("", table): group columns left unused
    std::set<int64_t> PresetIds;
    std::set<std::string> PresetNames;
};

/// The fixed columns of the counters table.
struct TableColumnNames {
    std::string IdColumnName;
    std::string MaskColumnName;
    std::string ConditionIdColumnName;
    std::string CountColumnName;
    std::string TimestampColumnName;
};

class MaskHelper {
public:
    static constexpr std::string_view kConfigurationPath = "\\Configuration\\OverviewMetricsConfiguration";

    /// Reads a metrics configuration node; throws HRX 0x80070490 for a missing required item or unknown
    /// preset, 0x8007000D for a duplicate preset id, E_INVALIDARG for a group larger than "GroupColumns".
    explicit MaskHelper(const cvn::QxNodePtr& configuration);
    MaskHelper(const MaskHelper&) = delete;
    MaskHelper& operator=(const MaskHelper&) = delete;

    /// The process-wide instance, read from "Base.AppConfigStorage" on first use. Throws when reading or
    /// configuring fails; nothing is kept then and the next call tries again.
    static const MaskHelper& Instance();

    /// The mask of the group that serves mask; HRX 0x80070490 (logged) when none does or it would be empty.
    ColumnsMask GetFullMask(ColumnsMask mask) const;
    /// True when some group serves mask; never logs.
    bool CheckMaskValid(ColumnsMask mask) const noexcept;
    /// The table column of a logical column in the group serving mask; HRX E_INVALIDARG (logged) when none.
    std::string GetTableColumnName(std::string_view column, ColumnsMask mask) const;
    /// A second handle to the stored preset (not a copy); HRX 0x80070490 (logged) for an unknown name.
    cvn::QxNodePtr GetPresetCondition(std::string_view name) const;
    /// Calls back with the group of exactly this mask; HRX 0x80070490 (logged) when there is none.
    void ForCountersGroup(ColumnsMask mask,
                          const std::function<void(const GroupInfo&, const TableColumnNames&)>& callback) const;

    const std::vector<std::string>& GetGroupColumns() const noexcept { return m_groupColumns; }

private:
    void Configure(const cvn::QxNodePtr& configuration);
    void RegisterPresets(const cvn::QxNodePtr& presets);
    void AddGroup(const cvn::QxNodePtr& group);
    /// The group of exactly mask if there is one, else each group containing mask in ascending order,
    /// until visit returns true; false when none did.
    bool VisitServingGroups(ColumnsMask mask, const std::function<bool(ColumnsMask, const GroupInfo&)>& visit) const;

    std::map<ColumnsMask, GroupInfo> m_groups;
    std::map<int64_t, cvn::QxNodePtr> m_presetsById;
    std::map<std::string, cvn::QxNodePtr, std::less<>> m_presetsByName;
    std::vector<std::string> m_groupColumns;
    TableColumnNames m_tableColumns;
};

}  // namespace OverviewReportsProcessing
