// The database management gate: the check request of the SQL connection
// verifier answered from a real database file, with the reporting codes and
// texts in "ResponseResult" and "ErrSerialized".
#include <gtest/gtest.h>

#include "common/ErrorHandling/ErrorObjects.h"
#include "host/reporting/gate/DatabaseManagementGate.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

class DatabaseGateTest : public ::testing::Test {
protected:
    // The request as the module's verifier builds it, around a copy of the reporting settings.
    static QxNodePtr Request(const std::string& settingsAttributes, int32_t adjustTarget = 0)
    {
        const QxNodePtr request = QxNodePtr::Create("CheckDatabaseRequest");
        request.SetAttribute("AdjustTarget", adjustTarget);
        request.AddChild(Tree("<nr><node q:name=\"ReportingSettings\" " + settingsAttributes + "/></nr>"));
        return request;
    }
    QxNodePtr Check(const QxNodePtr& request)
    {
        QxNodePtr answer;
        m_lastCode = m_gate->ProcessRequest(request.Get(), answer.Reset());
        m_lastText = m_lastCode < 0 ? SerializeCurrentError(m_lastCode) : std::string();
        return answer;
    }
    QxNodePtr CheckPath(const std::string& path, const std::string& extra = "")
    {
        return Check(Request("Enabled:bool=\"true\" DatabasePath=\"" + path + "\" " + extra));
    }
    static int32_t Result(const QxNodePtr& answer) { return answer.GetRequiredAttribute<int32_t>("ResponseResult"); }
    static std::string Text(const QxNodePtr& answer) { return answer.GetAttributeOr("ErrSerialized", ""); }

    TempDir m_dir;
    ComPtr<CComponentObject<CDatabaseManagementGate>> m_gate = CreateComponent<CDatabaseManagementGate>();
    HRESULT m_lastCode = S_OK;
    std::string m_lastText;
};

TEST_F(DatabaseGateTest, ReachableDatabaseAnswersZeroAndLockedMissingOrSchemalessOnesAreAnsweredWithText)
{
    const std::string path = m_dir.File("reporting.db");
    const QxNodePtr missing = CheckPath(path);
    ASSERT_EQ(S_OK, m_lastCode) << m_lastText;
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseUnavailable), Result(missing));
    EXPECT_EQ(0u, Text(missing).find("0x80040C0A The reporting database is unavailable: '" + path + "': cannot open"))
        << Text(missing);
    EXPECT_FALSE(std::filesystem::exists(path)) << "a check must not create the database";

    OpenTestDatabase(path, true)->Execute("CREATE TABLE Other (x)");
    const QxNodePtr noSchema = CheckPath(path);
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseUnavailable), Result(noSchema));
    EXPECT_NE(std::string::npos, Text(noSchema).find("no such table: AuditRecords")) << Text(noSchema);

    std::filesystem::remove(path);
    MakeSmallDatabase(path);
    const auto holder = OpenTestDatabase(path, false);
    holder->Execute("BEGIN EXCLUSIVE");
    const QxNodePtr busy = CheckPath(path, "BusyTimeoutMs:i32=\"30\"");
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseBusy), Result(busy));
    EXPECT_EQ(0u, Text(busy).find("0x80040C0B The reporting database is busy: ")) << Text(busy);
    holder->Execute("ROLLBACK");
    const QxNodePtr answer = CheckPath(path);
    ASSERT_EQ(S_OK, m_lastCode) << m_lastText;
    EXPECT_EQ("CheckDatabaseResponse", answer.GetName());
    EXPECT_EQ(0, Result(answer));
    EXPECT_FALSE(answer.HasAttribute("ErrSerialized"));
}

TEST_F(DatabaseGateTest, SettingsProblemsAreAnsweredAndMalformedRequestsFail)
{
    const struct {
        QxNodePtr request;
        HRESULT answered;  // in "ResponseResult", or S_OK when the call itself fails
        HRESULT failed;
        const char* text;
    } cases[] = {
        {Request("Enabled:bool=\"false\" DatabasePath=\"/x.db\""), kHrReportingDisabled, S_OK, ""},
        {Request("Enabled:bool=\"true\""), kHrNotFound, S_OK, "'DatabasePath' is missing"},
        {Request("Enabled:bool=\"true\" DatabasePath=\"/x.db\"", 1), E_INVALIDARG, S_OK, "AdjustTarget 1 is not supported"},
        {Request("DatabasePath=\"/x.db\""), S_OK, kHrNotFound, "'Enabled'"},
        {QxNodePtr::Create("CheckDatabaseRequest"), S_OK, kHrNotFound, ""},
        {QxNodePtr::Create("RepairDatabaseRequest"), S_OK, E_INVALIDARG, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.ToText());
        const QxNodePtr answer = Check(c.request);
        EXPECT_EQ(c.failed, m_lastCode);
        EXPECT_EQ(static_cast<int32_t>(c.answered), answer ? Result(answer) : S_OK);
        EXPECT_NE(std::string::npos, (answer ? Text(answer) : m_lastText).find(c.text));
    }
}

TEST_F(DatabaseGateTest, RegisteredUnderTheConfiguredUri)
{
    const std::string path = m_dir.File("reporting.db");
    MakeSmallDatabase(path);
    const auto client = CreateComponent<host::CServiceClient>();
    RegisterDatabaseManagementGate(*client, nullptr);
    RegisterDatabaseManagementGate(*client, Tree(R"(<nr><Gate Uri="Service.OtherGate"/></nr>)"));
    EXPECT_THROW(RegisterDatabaseManagementGate(*client, nullptr), HRX);
    ComPtr<IServiceProxy> proxy;
    ASSERT_EQ(S_OK, client->CreateProxy(u"Service.DatabaseManagementGate", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    QxNodePtr answer;
    ASSERT_EQ(S_OK, proxy->ProcessRequest(Request("Enabled:bool=\"true\" DatabasePath=\"" + path + "\"").Get(), answer.Reset()));
    EXPECT_EQ(0, Result(answer));
    EXPECT_EQ(S_OK, client->CreateProxy(u"Service.OtherGate", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    EXPECT_THROW(ReadDatabaseGateOptions(Tree(R"(<nr><Gate BusyTimeoutMs:i32="-1"/></nr>)")), HRX);
}

}  // namespace
}  // namespace cvn::reporting::test
