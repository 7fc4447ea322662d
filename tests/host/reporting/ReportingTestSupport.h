// Helpers of the reporting tests: a temporary folder, a small reporting
// database with a few records, a translator that takes its statement from the
// query node itself, and reading codes and texts out of answers.
// Thread safety: each helper belongs to the test's thread, except
// SqlFromNode, which may be called from the processor's workers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "NodeAccess/QxNodePtr.h"
#include "reporting/QueryTranslator.h"
#include "reporting/Schema.h"
#include "reporting/Storage.h"

namespace corvane::reporting::test {

inline constexpr auto kWaitLimit = std::chrono::seconds(20);

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvane-reporting-XXXXXX").string();
        m_path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return (std::filesystem::path(m_path) / name).string(); }
    std::string Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(File(name), std::ios::binary) << text;
        return File(name);
    }

private:
    std::string m_path;
};

/// The metrics configuration's table names as a test writes them.
inline QxNodePtr MetricsNode()
{
    return QxNodePtr::Parse(
        R"(<nr><node q:name="OverviewMetricsConfiguration" IdColumnName="Id" MaskColumnName="GroupMask"
        ConditionIdColumnName="PresetId" CountColumnName="Cnt" TimestampColumnName="Ts"
        GroupColumns:strs="G1|G2|G3|G4"/></nr>)");
}

/// A reporting database at path with five records: three of Who "alice", two of "bob".
inline void MakeSmallDatabase(const std::string& path)
{
    const std::unique_ptr<IConnection> connection = OpenSqlite(path, true, 1000);
    CreateReportingSchema(*connection, CountersTableLayoutFromMetrics(MetricsNode()));
    connection->Execute(R"(INSERT INTO "AuditRecords" ("When", "ProductId", "AuditingSystem", "DataSource",
        "ManagedObjectUId", "ManagedObject", "Who", "Where", "ObjectType", "What_Action", "What") VALUES
        (1767225600, '101', 1, '{D1}', '{P1}', 'Plan 1', 'alice', 'dc01', 'user', 'Modified', '\u1'),
        (1767225700, '101', 1, '{D1}', '{P1}', 'Plan 1', 'alice', 'dc01', 'user', 'Added', '\u2'),
        (1767225800, '102', 2, '{D1}', '{P1}', 'Plan 1', 'alice', 'dc02', 'group', 'Modified', '\g1'),
        (1767229200, '103', 3, '{D2}', '{P2}', 'Plan 2', 'bob', 'exch01', 'Mailbox', 'Read', 'm/bob'),
        (1767229300, '103', 3, '{D2}', '{P2}', 'Plan 2', 'bob', 'exch01', 'Mailbox', 'Read', 'm/bob'))");
}

/// A statement that runs for many seconds unless interrupted, with the columns Who, Count.
inline constexpr const char* kSlowSql =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000000) "
    "SELECT 'x' AS Who, count(*) AS Count FROM c";

/// Translation for tests: "Sql" of the query node, its "Columns" list as row attributes, "Top" as the
/// row limit and the 64-bit "P1" as the only parameter when present.
inline TranslatedQuery SqlFromNode(const QxNodePtr& query)
{
    TranslatedQuery translated;
    translated.sql = query.GetRequiredAttribute<std::string>("Sql");
    translated.rowAttributes = query.GetRequiredAttribute<std::vector<std::string>>("Columns");
    int64_t value = 0;
    if (query.GetAttribute("P1", value)) translated.parameters.push_back(value);
    int32_t top = 0;
    if (query.GetAttribute("Top", top)) translated.rowLimit = top;
    return translated;
}

/// "0x%08X" of a code, for messages.
inline std::string Hex(HRESULT code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    return text;
}

}  // namespace corvane::reporting::test
