// Helpers for the filter processing tests: trees from the text form, a
// canonical dump that compares trees (attribute types included, attribute order
// ignored), masking of generated GUID names, and a metrics configuration
// installed for one test.
// Thread safety: test-thread only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/Common/ServiceLayer/ServiceTestSupport.h"
#include "NodeAccess/QxNodePtr.h"
#include "OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

namespace corvane::test {

inline QxNodePtr Tree(std::string_view text) { return QxNodePtr::Parse(text); }

inline void AppendCanonical(std::string& out, const QxNodePtr& node, int depth)
{
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += node.GetType() + " \"" + node.GetName() + "\"";
    std::vector<std::string> names = node.GetAttributeNames();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        uint32_t stored = 0;
        node.HasAttribute(name, &stored);
        std::string value;
        node.GetAttribute(name, value);
        char type[16];
        std::snprintf(type, sizeof type, "%X", stored);
        out += " " + name + ":" + type + "=" + value;
    }
    out += "\n";
    for (const QxNodePtr& child : node.GetChildren()) AppendCanonical(out, child, depth + 1);
}

/// One line per node: indentation, type, name, attributes sorted by name with their stored type.
inline std::string Canonical(const QxNodePtr& node)
{
    std::string out;
    AppendCanonical(out, node, 0);
    return out;
}

inline bool IsBracedGuid(std::string_view text)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const char c = text[i];
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

/// Renames every node named by a braced GUID to "{GUID}" and returns the names it replaced, in order.
inline std::vector<std::string> MaskGuidNames(const QxNodePtr& node)
{
    std::vector<std::string> found;
    const std::string name = node.GetName();
    if (IsBracedGuid(name)) {
        found.push_back(name);
        node.SetName("{GUID}");
    }
    for (const QxNodePtr& child : node.GetChildren()) {
        std::vector<std::string> inner = MaskGuidNames(child);
        found.insert(found.end(), inner.begin(), inner.end());
    }
    return found;
}

/// Installs a metrics configuration (text form) as the process-wide one for the scope.
class ScopedMetricsConfiguration {
public:
    explicit ScopedMetricsConfiguration(std::string_view configuration)
    {
        OverviewReportsProcessing::MaskHelper::InstallForTests(
            std::make_unique<OverviewReportsProcessing::MaskHelper>(Tree(configuration)));
    }
    ~ScopedMetricsConfiguration() { OverviewReportsProcessing::MaskHelper::ResetForTests(); }
    ScopedMetricsConfiguration(const ScopedMetricsConfiguration&) = delete;
    ScopedMetricsConfiguration& operator=(const ScopedMetricsConfiguration&) = delete;
};

/// Groups {Who, Where} (0xC) and {Who, Where, What} (0x4C); presets "DefaultPreset" (1) and "Failed" (2).
inline constexpr std::string_view kMetricsConfiguration = R"(
<OverviewMetricsConfiguration GroupColumns:strs="G1|G2|G3" IdColumnName="Id" MaskColumnName="GroupMask"
    ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts">
  <node q:name="ConditionPresets">
    <Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/>
    <Condition q:name="Failed" operator="AND" PresetConditionId:i64="2">
      <ConditionValues Columnn="Status" Comparator="=" Value="Failed"/>
    </Condition>
  </node>
  <Group GroupAttributes:strs="Who|Where"/>
  <Group GroupAttributes:strs="What|Who|Where" PresetConditionName="Failed"/>
</OverviewMetricsConfiguration>)";

}  // namespace corvane::test
