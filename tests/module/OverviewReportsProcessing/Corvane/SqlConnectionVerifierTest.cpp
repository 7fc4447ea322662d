// The reporting database check: what is sent, which answers are cached and for
// how long (on a manual clock), and how a failing check reaches a new request.
#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/Corvane/SqlConnectionVerifier.h"
#include "tests/support/OverviewTestSupport.h"
#include "common/Helpers/Clock.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;

constexpr HRESULT kDatabaseDown = static_cast<HRESULT>(0x80040C05);

class SqlConnectionVerifierTest : public GateTest {
protected:
    Corvane::SqlConnectionVerifier Make(std::chrono::seconds cache = 30s)
    {
        return Corvane::SqlConnectionVerifier(std::string(kReportingSettingsPath), cache);
    }
    ManualClock m_clock;
};

TEST_F(SqlConnectionVerifierTest, SendsTheSettingsAndNeverReusesASuccess)
{
    auto verifier = Make();
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK);
    EXPECT_EQ(m_databaseGate->Calls(), 2u);
    const QxNodePtr sent = QxNodePtr::Parse(m_databaseGate->LastRequest());
    EXPECT_EQ(sent.GetName(), "CheckDatabaseRequest");
    EXPECT_EQ(sent.GetType(), "");
    EXPECT_EQ(Int(sent, "AdjustTarget"), 0);
    ASSERT_EQ(sent.GetChildCount(), 1u);
    EXPECT_EQ(Text(sent.GetChild(uint64_t{0}), "Server"), "db1");
}

TEST_F(SqlConnectionVerifierTest, AReportedFailureIsCachedForTheCacheTimeIfAny)
{
    auto verifier = Make();
    m_databaseGate->answerCode = kDatabaseDown;
    const HRX first = verifier.CheckSqlConnection();
    EXPECT_EQ(first.Code(), kDatabaseDown);
    EXPECT_NE(ErrorText(first).find("database is down"), std::string::npos) << ErrorText(first);
    m_databaseGate->answerCode = S_OK;
    m_clock.Advance(29999ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kDatabaseDown);
    EXPECT_EQ(m_databaseGate->Calls(), 1u);
    m_clock.Advance(1ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK);
    EXPECT_EQ(m_databaseGate->Calls(), 2u);

    // The wall clock set back keeps a cached failure for its full time.
    m_databaseGate->answerCode = kDatabaseDown;
    verifier.CheckSqlConnection();
    m_clock.Advance(-60000ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kDatabaseDown);
    m_clock.Advance(89999ms);
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kDatabaseDown);
    EXPECT_EQ(m_databaseGate->Calls(), 3u);
    m_clock.Advance(1ms);
    verifier.CheckSqlConnection();
    EXPECT_EQ(m_databaseGate->Calls(), 4u);

    auto uncached = Make(0s);  // no cache time: asks every time
    uncached.CheckSqlConnection();
    uncached.CheckSqlConnection();
    EXPECT_EQ(m_databaseGate->Calls(), 6u);
}

TEST_F(SqlConnectionVerifierTest, FailuresToAskAreNotCached)
{
    auto verifier = Make();
    WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath,
                    QxNodePtr::Parse(R"(<node Enabled:bool="false"/>)"));
    LogCapture log;
    EXPECT_EQ(static_cast<uint32_t>(verifier.CheckSqlConnection().Code()), 0x80040C03u);
    EXPECT_EQ(m_databaseGate->Calls(), 0u);
    EXPECT_EQ(log.Count("SqlConnectionVerifier::CheckSqlConnection failed: 0x80040C03"), 1u);

    WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath, QxNodePtr::Parse(R"(<node Server="x"/>)"));
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), kHrNotFound);

    WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath,
                    QxNodePtr::Parse(R"(<node Enabled:bool="true"/>)"));
    m_databaseGate->callFailure = E_ACCESSDENIED;
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), E_ACCESSDENIED);
    m_databaseGate->callFailure = S_OK;
    EXPECT_EQ(verifier.CheckSqlConnection().Code(), S_OK) << "none of the failures above was cached";
}

TEST_F(SqlConnectionVerifierTest, WithoutTheServiceNoVerifierIsMade)
{
    m_host.ServiceClient()->UnregisterService("Service.DatabaseManagementGate");
    EXPECT_EQ(CodeOf([&] { Make(); }), kHrNotFound);
    EXPECT_EQ(MakeGate(), kHrNotFound);
}

TEST_F(SqlConnectionVerifierTest, AFailingCheckRefusesNewRequestsOnly)
{
    QxNodePtr configuration = QxNodePtr::Parse(kGateConfiguration);
    configuration.DeleteAttribute("SqlConnectionCacheInSec", true);
    ASSERT_EQ(MakeGate(configuration.ToText()), S_OK);
    const GUID token = TokenOf(Process(kThreeSubRequests));
    m_databaseGate->answerCode = kDatabaseDown;
    const QxNodePtr refused = Process(kThreeSubRequests);
    EXPECT_EQ(Code(refused), kDatabaseDown);
    EXPECT_EQ(Status(refused), 2);
    EXPECT_EQ(refused.GetChildCount(), 0u);
    EXPECT_EQ(Gate().RegisteredContextCount(), 1u);
    // The default cache time is 30 s.
    m_databaseGate->answerCode = S_OK;
    m_clock.Advance(29s);
    EXPECT_EQ(Code(Process(kThreeSubRequests)), kDatabaseDown);
    m_clock.Advance(1s);
    const GUID second = TokenOf(Process(kThreeSubRequests));
    EXPECT_EQ(Gate().RegisteredContextCount(), 2u);
    // Polls of registered requests do not check.
    const size_t calls = m_databaseGate->Calls();
    script->Finish("A", 1);
    EXPECT_EQ(Status(Poll(token)), 0);
    EXPECT_EQ(m_databaseGate->Calls(), calls);
    EXPECT_EQ(FreeCookieCode(token), S_OK);
    EXPECT_EQ(FreeCookieCode(second), S_OK);
}

}  // namespace
}  // namespace cvn::test
