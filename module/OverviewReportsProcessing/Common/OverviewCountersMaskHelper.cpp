// MaskHelper: reading the metrics configuration and answering group queries.
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Metrics/GroupLayout.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

MaskHelper::MaskHelper(const QxNodePtr& configuration)
{
    cvn::ThrowIf(!configuration, cvn::E_POINTER, "No metrics configuration node");
    Configure(configuration);
}

void MaskHelper::Configure(const QxNodePtr& configuration)
{
    m_groupColumns = configuration.GetRequiredAttribute<std::vector<std::string>>("GroupColumns");
    if (QxNodePtr presets = configuration.GetChild("ConditionPresets", false)) RegisterPresets(presets);
    for (const QxNodePtr& child : configuration.GetChildren()) {
        if (child.GetType() == "Group") AddGroup(child);
    }
    m_tableColumns.IdColumnName = configuration.GetRequiredAttribute<std::string>("IdColumnName");
    m_tableColumns.MaskColumnName = configuration.GetRequiredAttribute<std::string>("MaskColumnName");
    m_tableColumns.ConditionIdColumnName = configuration.GetRequiredAttribute<std::string>("ConditionIdColumnName");
    m_tableColumns.CountColumnName = configuration.GetRequiredAttribute<std::string>("CountColumnName");
    m_tableColumns.TimestampColumnName = configuration.GetRequiredAttribute<std::string>("TimestampColumnName");
}

void MaskHelper::RegisterPresets(const QxNodePtr& presets)
{
    for (const QxNodePtr& preset : presets.GetChildren()) {
        m_presetsByName.emplace(preset.GetName(), preset);
        const auto id = preset.GetRequiredAttribute<int64_t>("PresetConditionId");
        if (!m_presetsById.emplace(id, preset).second)
            CV_FAIL_LOGGED("OverviewReportsProcessing::MaskHelper::Configure::<lambda_1>::operator ()",
                           cvn::kHrInvalidData, "Duplicate preset id: " << id);
    }
}

void MaskHelper::AddGroup(const QxNodePtr& group)
{
    const auto attributes = group.GetRequiredAttribute<std::vector<std::string>>("GroupAttributes");
    if (attributes.size() > m_groupColumns.size())
        CV_FAIL_LOGGED("OverviewReportsProcessing::MaskHelper::AddGroup", cvn::E_INVALIDARG,
                       "Invalid group size: " << group);

    GroupLayout layout = LayOutGroup(attributes, m_groupColumns);
    GroupInfo info;
    info.ColumnMap = std::move(layout.columns);
    for (size_t j = layout.usedGroupColumns; j < m_groupColumns.size(); ++j)
        info.SpareTableColumns.emplace_back("", m_groupColumns[j]);

    GroupInfo& stored = m_groups.emplace(layout.mask, std::move(info)).first->second;

    std::string presetName;
    if (group.GetAttribute("PresetConditionName", presetName)) {
        const QxNodePtr preset = GetPresetCondition(presetName);
        const auto id = preset.GetRequiredAttribute<int64_t>("PresetConditionId");
        stored.PresetNames.insert(presetName);
        stored.PresetIds.insert(id);
    }
}

bool MaskHelper::VisitServingGroups(ColumnsMask mask,
                                    const std::function<bool(ColumnsMask, const GroupInfo&)>& visit) const
{
    if (const auto exact = m_groups.find(mask); exact != m_groups.end()) return visit(exact->first, exact->second);
    for (const auto& [groupMask, info] : m_groups) {
        if (groupMask.Has(mask) && visit(groupMask, info)) return true;
    }
    return false;
}

ColumnsMask MaskHelper::GetFullMask(ColumnsMask mask) const
{
    ColumnsMask full;
    VisitServingGroups(mask, [&](ColumnsMask groupMask, const GroupInfo&) {
        full = groupMask;
        return true;
    });
    if (!full.Any())
        CV_FAIL_LOGGED("OverviewReportsProcessing::MaskHelper::GetFullMask", cvn::kHrNotFound,
                       "Full mask not found: " << mask.Value());
    return full;
}

bool MaskHelper::CheckMaskValid(ColumnsMask mask) const noexcept
{
    if (m_groups.count(mask)) return true;
    for (const auto& entry : m_groups) {
        if (entry.first.Has(mask)) return true;
    }
    return false;
}

std::string MaskHelper::GetTableColumnName(std::string_view column, ColumnsMask mask) const
{
    std::string table;
    const bool found = VisitServingGroups(mask, [&](ColumnsMask, const GroupInfo& info) {
        for (const auto& [logical, tableColumn] : info.ColumnMap) {
            if (logical == column) {
                table = tableColumn;
                return true;
            }
        }
        return false;
    });
    if (!found)
        CV_FAIL_LOGGED("OverviewReportsProcessing::MaskHelper::GetTableColumnName", cvn::E_INVALIDARG,
                       "Invalid column name and mask: " << column << " " << mask.Value());
    return table;
}

QxNodePtr MaskHelper::GetPresetCondition(std::string_view name) const
{
    const auto found = m_presetsByName.find(name);
    if (found == m_presetsByName.end())
        CV_FAIL_LOGGED("OverviewReportsProcessing::MaskHelper::GetPresetCondition", cvn::kHrNotFound,
                       "Invalid preset condition name: " << name);
    return found->second;
}

void MaskHelper::ForCountersGroup(ColumnsMask mask,
                                  const std::function<void(const GroupInfo&, const TableColumnNames&)>& callback) const
{
    const auto found = m_groups.find(mask);
    if (found == m_groups.end())
        CV_FAIL_LOGGED("OverviewReportsProcessing::MaskHelper::ForCountersGroup", cvn::kHrNotFound,
                       "Mask not found: " << mask.Value());
    callback(found->second, m_tableColumns);
}

}  // namespace OverviewReportsProcessing
