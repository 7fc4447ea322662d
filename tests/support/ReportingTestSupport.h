// Helpers of the reporting tests, on top of the host ones: the statement
// templates and metrics configuration as configuration text, a small reporting
// database, and reading single values and grouped counts.
// Thread safety: each helper belongs to the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Components.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"
#include "tests/support/HostTestSupport.h"

namespace cvn::reporting::test {

using host::test::TempDir;
using host::test::Tree;
using host::test::Thrown;
using host::test::ThrownBy;

/// Rows of a statement whose last column is a count, as "value|value" -> count; rows with equal values
/// are summed (as the merge of a data source's products does) and zero counts left out.
inline std::map<std::string, int64_t> CountedRows(IConnection& db, const std::string& sql,
                                                  const std::vector<SqlValue>& params = {})
{
    auto statement = db.Prepare(sql);
    for (size_t i = 0; i < params.size(); ++i) statement->Bind(i + 1, params[i]);
    std::map<std::string, int64_t> rows;
    while (statement->Next()) {
        std::string key;
        const size_t last = statement->ColumnCount() - 1;
        for (size_t i = 0; i < last; ++i) {
            const SqlValue value = statement->Column(i);
            key += i ? "|" : "";
            if (const auto* number = std::get_if<int64_t>(&value)) key += std::to_string(*number);
            if (const auto* text = std::get_if<std::string>(&value)) key += *text;
        }
        const SqlValue count = statement->Column(last);
        if (const auto* number = std::get_if<int64_t>(&count); number && *number != 0) rows[key] += *number;
    }
    return rows;
}

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

/// The SQLite file at path through the storage door (created when create is set).
inline std::unique_ptr<IConnection> OpenTestDatabase(const std::string& path, bool create = false,
                                                     int busyTimeoutMs = 5000)
{
    return OpenStorage(StorageSettingsForFile(path), {.create = create, .busyTimeoutMs = busyTimeoutMs});
}

/// A reporting database at path with five records: three of Who "alice", two of "bob".
inline void MakeSmallDatabase(const std::string& path)
{
    const std::unique_ptr<IConnection> connection = OpenTestDatabase(path, true, 1000);
    CreateReportingSchema(*connection, CountersTableLayoutFromMetrics(Tree(kMetrics)));
    connection->Execute(R"(INSERT INTO "AuditRecords" ("When", "ProductId", "AuditingSystem", "DataSource",
        "ManagedObjectUId", "ManagedObject", "Who", "Where", "ObjectType", "What_Action", "What") VALUES
        (1767225600, '101', 1, '{D1}', '{P1}', 'Plan 1', 'alice', 'dc01', 'user', 'Modified', '\u1'),
        (1767225700, '101', 1, '{D1}', '{P1}', 'Plan 1', 'alice', 'dc01', 'user', 'Added', '\u2'),
        (1767225800, '102', 2, '{D1}', '{P1}', 'Plan 1', 'alice', 'dc02', 'group', 'Modified', '\g1'),
        (1767229200, '103', 3, '{D2}', '{P2}', 'Plan 2', 'bob', 'exch01', 'Mailbox', 'Read', 'm/bob'),
        (1767229300, '103', 3, '{D2}', '{P2}', 'Plan 2', 'bob', 'exch01', 'Mailbox', 'Read', 'm/bob'))");
}

/// A storage failure's kind and message, "(no error)" when the action threw none (a test failure too).
struct StorageFailure {
    StorageErrorKind kind = StorageErrorKind::Other;
    std::string message = "(no error)";
};
inline StorageFailure StorageFailureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const StorageError& error) {
        return {error.Kind(), error.what()};
    }
    ADD_FAILURE() << "no StorageError was thrown";
    return {};
}

/// The first column of the statement's first row (an empty value when there is no row).
inline SqlValue One(IConnection& connection, const std::string& sql, const std::vector<SqlValue>& params = {})
{
    const auto statement = connection.Prepare(sql);
    for (size_t i = 0; i < params.size(); ++i) statement->Bind(i + 1, params[i]);
    return statement->Next() ? statement->Column(0) : SqlValue();
}

/// The single integer a statement returns (0 for NULL or no row).
inline int64_t ScalarOf(IConnection& connection, const std::string& sql, const std::vector<SqlValue>& params = {})
{
    const SqlValue value = One(connection, sql, params);
    return std::holds_alternative<int64_t>(value) ? std::get<int64_t>(value) : 0;
}

}  // namespace cvn::reporting::test
