// The database management gate's check of a PostgreSQL database: reachable,
// without the reporting schema, a wrong password, the server stopped.
#include <gtest/gtest.h>

#include "common/ErrorHandling/ErrorObjects.h"
#include "host/reporting/gate/DatabaseManagementGate.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

TEST(PostgresGateTest, ReachableDatabaseAnswersZeroAndEveryWayOfNotReachingItIsUnavailableSayingWhere)
{
    cvn::test::PostgresServer server;
    TempDir dir;
    const auto gate = CreateComponent<CDatabaseManagementGate>();
    const auto check = [&](const std::string& connection) {
        const QxNodePtr request = QxNodePtr::Create("CheckDatabaseRequest");
        request.SetAttribute("AdjustTarget", int32_t{0});
        const QxNodePtr settings = QxNodePtr::Create("ReportingSettings");
        settings.SetAttribute("Enabled", true);
        settings.SetAttribute("DatabasePath", dir.File("unused.db"));
        settings.SetAttribute("StorageKind", "postgresql");
        settings.SetAttribute("StorageConnection", connection);
        request.AddChild(settings);
        QxNodePtr answer;
        EXPECT_EQ(S_OK, gate->ProcessRequest(request.Get(), answer.Reset()));
        return std::pair{answer.GetRequiredAttribute<int32_t>("ResponseResult"), answer.GetAttributeOr("ErrSerialized", "")};
    };
    const std::string wrong = "Wr0ng-Passw0rd";
    const std::string wrongFile = dir.Write("pgpass", "127.0.0.1:*:*:corvane:" + wrong + "\n");
    std::filesystem::permissions(wrongFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::string withWrongPassword = server.Connection();
    withWrongPassword.replace(withWrongPassword.find("passfile="), std::string::npos, "passfile=" + wrongFile);
    const std::string where = "database 'reporting' at 127.0.0.1:" + std::to_string(server.Port());

    const auto [noSchema, noSchemaText] = check(server.Connection());
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseUnavailable), noSchema);
    EXPECT_NE(std::string::npos, noSchemaText.find("\"AuditRecords\" does not exist")) << noSchemaText;

    CreateReportingSchema(*OpenStorage(ParseStorageSettings("postgresql", server.Connection())),
                          CountersTableLayoutFromMetrics(Tree(kMetrics)));
    EXPECT_EQ(0, check(server.Connection()).first);

    const auto [refused, refusedText] = check(withWrongPassword);
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseUnavailable), refused);
    EXPECT_NE(std::string::npos, refusedText.find(where)) << refusedText;
    EXPECT_NE(std::string::npos, refusedText.find("password authentication failed")) << refusedText;
    EXPECT_EQ(std::string::npos, refusedText.find(wrong)) << refusedText;

    server.Stop();
    const auto [stopped, stoppedText] = check(server.Connection());
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseUnavailable), stopped);
    EXPECT_NE(std::string::npos, stoppedText.find(where)) << stoppedText;
}

}  // namespace
}  // namespace cvn::reporting::test
