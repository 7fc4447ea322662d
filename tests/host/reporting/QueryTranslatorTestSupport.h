// Shared fixtures of the translator and aggregator tests: the statement
// templates as configuration text, a metrics configuration, and a small SQLite
// database in a temporary folder.
// Thread safety: test-thread only.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

#include "ErrorHandling/ErrorObjects.h"
#include "ErrorHandling/HRX.h"
#include "NodeAccess/QxNodePtr.h"
#include "reporting/Storage.h"

namespace corvane::test {

/// Counters over G1..G4 plus the fixed columns; records with logical columns; the presence template;
/// a records template with a join on a plan table.
inline constexpr std::string_view kTemplates = R"~(
<QueryTemplates>
  <Template q:name="overview_counters" Table="OverviewCounters" CountExpression="SUM(t.&quot;Cnt&quot;)"
      Columns:strs="G1|G2|G3|G4|GroupMask|PresetId|Ts" TimeColumn="Ts"/>
  <Template q:name="overview_records" Table="AuditRecords" CountExpression="COUNT(*)" TimeColumn="When"
      AuditingSystemColumn="AuditingSystem"
      Columns:strs="Id|When|ProductId|AuditingSystem|DataSource|ManagedObjectUId|ManagedObject|Who|Where|ObjectType|What_Action|What"/>
  <Template q:name="query_top_data_no_order" Table="AuditRecords" Select:strs="Id" TimeColumn="When"
      AuditingSystemColumn="AuditingSystem" Columns:strs="Id|When|AuditingSystem|ProductId"/>
  <Template q:name="records_by_plan" Table="AuditRecords" CountExpression="COUNT(*)" TimeColumn="When"
      Columns:strs="When|Who|ManagedObjectUId">
    <Join q:name="plans" Index:i64="2" Table="Plans" Alias="p" Type="LEFT" Columns:strs="Name|Owner"
        On="p.&quot;Uid&quot; = t.&quot;ManagedObjectUId&quot;"/>
  </Template>
</QueryTemplates>)~";

/// Groups {MO, ProductId, Who, Where} (0xF) and {MO, Who, Where, What} (0x4D); presets "DefaultPreset" (1) and "Deletes" (2).
inline constexpr std::string_view kMetrics = R"~(
<OverviewMetricsConfiguration GroupColumns:strs="G1|G2|G3|G4" IdColumnName="Id" MaskColumnName="GroupMask"
    ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts">
  <node q:name="ConditionPresets">
    <Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/>
    <Condition q:name="Deletes" operator="AND" PresetConditionId:i64="2">
      <ConditionValues Columnn="What_Action" Comparator="=" Value="Removed"/>
    </Condition>
  </node>
  <Group GroupAttributes:strs="ManagedObjectUId|Who|Where|ProductId"/>
  <Group GroupAttributes:strs="What|Who|Where|ManagedObjectUId" PresetConditionName="Deletes"/>
</OverviewMetricsConfiguration>)~";

inline QxNodePtr Node(std::string_view text) { return QxNodePtr::Parse(text); }

/// The description an HRX carries, or "" when the call did not throw.
template <class Call>
std::string FailureOf(Call&& call)
{
    try {
        call();
    } catch (const HRX& error) {
        return "0x" + [](uint32_t code) {
            char text[16];
            std::snprintf(text, sizeof text, "%08X", code);
            return std::string(text);
        }(static_cast<uint32_t>(error.Code())) + " " + ReadErrorDescription(error.ErrorInfo());
    }
    return {};
}

/// A fresh folder under the system's temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder()
    {
        static int counter = 0;
        m_path = std::filesystem::temp_directory_path() /
                 ("corvane-reporting-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

/// The single integer a statement returns (0 for NULL).
inline int64_t ScalarOf(reporting::IConnection& connection, const std::string& sql,
                        const std::vector<reporting::SqlValue>& params = {})
{
    auto statement = connection.Prepare(sql);
    for (size_t i = 0; i < params.size(); ++i) statement->Bind(i + 1, params[i]);
    if (!statement->Next()) return 0;
    const reporting::SqlValue value = statement->Column(0);
    return std::holds_alternative<int64_t>(value) ? std::get<int64_t>(value) : 0;
}

}  // namespace corvane::test
