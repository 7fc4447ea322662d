// Which counters rows a metrics configuration asks for (see MetricsAggregator.h).
// Groups are laid out as the mask helper lays them out (LayOutGroup), and a mask
// that is no group is served by the first group (ascending) that contains it.
#include <set>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "common/Metrics/GroupLayout.h"
#include "host/reporting/metrics/MetricsAggregator.h"

namespace cvn::reporting {

namespace {

using OverviewReportsProcessing::ColumnsMask;
namespace ColumnHelper = OverviewReportsProcessing::ColumnHelper;

constexpr const char* kDefaultPresetName = "DefaultPreset";

struct ConfiguredGroup {
    std::vector<std::pair<std::string, std::string>> columns;
    std::set<int64_t> presetIds;
};

uint32_t BitOf(const std::string& column)
{
    uint32_t bit = 0;
    ColumnHelper::ForEachColumn([&](std::string_view name, ColumnsMask mask) {
        if (name == column) bit = mask.Value();
    });
    return bit;
}

}  // namespace

namespace {

std::map<std::string, std::pair<int64_t, QxNodePtr>> PresetsByName(const QxNodePtr& metrics)
{
    std::map<std::string, std::pair<int64_t, QxNodePtr>> presets;
    if (const QxNodePtr node = metrics.GetChild("ConditionPresets", false)) {
        for (const QxNodePtr& preset : node.GetChildren())
            presets.emplace(preset.GetName(),
                            std::make_pair(preset.GetRequiredAttribute<int64_t>("PresetConditionId"), preset));
    }
    return presets;
}

}  // namespace

std::map<int64_t, QxNodePtr> ReadPresetConditions(const QxNodePtr& metrics)
{
    ThrowIf(!metrics, kHrNotFound, "no metrics configuration");
    std::map<int64_t, QxNodePtr> byId;
    for (const auto& [name, preset] : PresetsByName(metrics)) byId.emplace(preset.first, preset.second);
    return byId;
}

std::vector<AggregatedGroup> ReadAggregatedGroups(const QxNodePtr& metrics)
{
    ThrowIf(!metrics, kHrNotFound, "no metrics configuration");
    const auto groupColumns = metrics.GetRequiredAttribute<std::vector<std::string>>("GroupColumns");
    const std::map<std::string, std::pair<int64_t, QxNodePtr>> presets = PresetsByName(metrics);
    std::map<uint32_t, ConfiguredGroup> groups;
    for (const QxNodePtr& child : metrics.GetChildren()) {
        if (child.GetType() != "Group") continue;
        const auto attributes = child.GetRequiredAttribute<std::vector<std::string>>("GroupAttributes");
        ThrowIf(attributes.size() > groupColumns.size(), E_INVALIDARG, "group larger than \"GroupColumns\"");
        OverviewReportsProcessing::GroupLayout layout =
            OverviewReportsProcessing::LayOutGroup(attributes, groupColumns);
        ConfiguredGroup group;
        group.columns = std::move(layout.columns);
        auto& stored = groups.emplace(layout.mask.Value(), std::move(group)).first->second;
        // A group is counted for the preset it names, or for the default preset when it names none:
        // each combination costs a full set of rows, so only configured ones are counted. Two groups
        // of the same columns name two presets.
        const std::string presetName = child.GetAttributeOr("PresetConditionName", "");
        if (!presetName.empty() || presets.count(kDefaultPresetName)) {
            const std::string name = presetName.empty() ? std::string(kDefaultPresetName) : presetName;
            const auto preset = presets.find(name);
            if (preset == presets.end()) ThrowHrWithDescription(kHrNotFound, "unknown preset condition '" + name + "'");
            stored.presetIds.insert(preset->second.first);
        }
    }
    const std::map<int64_t, QxNodePtr> byId = ReadPresetConditions(metrics);

    std::map<uint32_t, AggregatedGroup> result;
    for (const auto& [mask, group] : groups) {
        const uint32_t stored = mask | 0x1;
        const ConfiguredGroup* layout = nullptr;
        if (const auto exact = groups.find(stored); exact != groups.end()) layout = &exact->second;
        for (auto it = groups.begin(); !layout && it != groups.end(); ++it)
            if ((it->first & stored) == stored) layout = &it->second;
        if (!layout) {
            CV_LOG(Warn,
                   "MetricsAggregator: no group holds mask " << stored << "; group " << mask << " is not counted");
            continue;
        }
        AggregatedGroup& out = result[stored];
        out.mask = stored;
        out.columns.clear();
        for (const auto& column : layout->columns)
            if (BitOf(column.first) & stored) out.columns.push_back(column);
        for (int64_t id : group.presetIds) out.presets.emplace(id, byId.at(id));
    }
    std::vector<AggregatedGroup> list;
    for (auto& [mask, group] : result) list.push_back(std::move(group));
    return list;
}

}  // namespace cvn::reporting
