// Presence queries of the stale records checker: their shape, the cached
// answer, and what makes it stale (interval, change notifications, failures).
#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"
#include "common/Helpers/Clock.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"
#include "module/OverviewReportsProcessing/Corvane/StaleRecordsExistenceChecker.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;
using Corvane::CStaleRecordsExistenceChecker;
using Corvane::ParseUtcTime;
using host::QueryCallKind;
using host::QueryScript;

constexpr std::string_view kCheckerConfig = R"(
<node q:name="StaleRecordsExistenceChecker" DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60"
      SupressedProductIds:i32s="7|9" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)";

constexpr std::string_view kOneRecord = R"(<Result><Row When="2024-03-01 10:00:00"/></Result>)";

class StaleRecordsTest : public RetrievalTest {
protected:
    void SetUp() override
    {
        RetrievalTest::SetUp();
        queries->SetScript(QueryScript{0, std::string(kOneRecord)});
    }
    void TearDown() override
    {
        if (checker) checker->Shutdown();
        checker.Reset();
        RetrievalTest::TearDown();
    }
    void Make(std::string_view config = kCheckerConfig)
    {
        checker = CreateComponent<CStaleRecordsExistenceChecker>(Tree(config));
    }
    bool Check(std::string_view from = "2024-03-01T00:00:00Z", std::string_view till = "2024-03-02T00:00:00Z")
    {
        return checker->IsStaleRecordsPresent(ParseUtcTime(from), ParseUtcTime(till));
    }
    uint32_t Subscribers()
    {
        uint32_t count = 0;
        m_host.DsmNotifications()->GetSubscriberCount(&count);
        return count;
    }

    ManualClock clock{ParseUtcTime("2024-03-05T12:00:00Z")};
    ComPtr<CComponentObject<CStaleRecordsExistenceChecker>> checker;
};

TEST_F(StaleRecordsTest, ThePresenceQueryAsksForOneRowInTheStretch)
{
    Make(R"(<node DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60" SupressedProductIds:i32="7"
                  WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)");
    EXPECT_TRUE(Check("2024-03-01T00:00:00Z", "2024-03-02T06:30:15Z"));
    const auto calls = queries->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(Canonical(calls[0].node), Canonical(Tree(R"(
        <Query Page_size:n32="1" Top:n32="1" Paged_result:bool="true" Stateless:bool="false" Continuous:bool="false"
               PersistentMembership:bool="false" Query_Template_Name="query_top_data_no_order"
               Suppressed_Auditing_systems:i32s="7">
          <ConditionsRoot q:name="Conditions">
            <Condition q:name="Condition" operator="AND">
              <ConditionValues Columnn="When" Value="2024-03-01 00:00:00" Comparator="&gt;="/>
              <ConditionValues Columnn="When" Value="2024-03-02 06:30:15" Comparator="&lt;="/>
            </Condition>
          </ConditionsRoot>
        </Query>)")));
    EXPECT_FALSE(calls[0].hasContext) << "the check's own context is of kind 1 and the retriever binds none";
}

TEST_F(StaleRecordsTest, AnAnswerIsReusedForAnyRangeWithinTheInterval)
{
    Make();
    EXPECT_TRUE(Check());
    clock.Advance(59s);
    EXPECT_TRUE(Check("2023-01-01T00:00:00Z", "2023-01-02T00:00:00Z"));
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 1u);
    clock.Advance(2s);
    queries->SetScript(QueryScript{});
    EXPECT_FALSE(Check()) << "an empty result means no records";
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 2u);
}

TEST_F(StaleRecordsTest, AChangeNotificationMakesTheNextCallAskAgain)
{
    Make();
    EXPECT_TRUE(Check());
    EXPECT_EQ(Subscribers(), 1u) << "subscribed at the first check";
    const QxNodePtr change = QxNodePtr::Create("Change");
    EXPECT_EQ(m_host.DsmNotifications()->NotifyAdded(change.Get()), S_OK);
    EXPECT_TRUE(Check());
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 2u);
    EXPECT_EQ(m_host.DsmNotifications()->NotifyRemoved(change.Get()), S_OK);
    EXPECT_EQ(m_host.DsmNotifications()->NotifyModified(change.Get()), S_OK);
    EXPECT_TRUE(Check());
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 3u);
    EXPECT_EQ(Subscribers(), 1u) << "subscribed once";
    checker->Shutdown();
    EXPECT_EQ(Subscribers(), 0u);
}

TEST_F(StaleRecordsTest, AFailedCheckAnswersNoRecordsAndTheNextCallAsksAgain)
{
    LogCapture log;
    Make();
    QueryScript failing;
    failing.errorResult = E_FAIL;
    queries->SetScript(failing);
    EXPECT_FALSE(Check());
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::ExecuteCheckPresenseQuery failed: "), 1u);
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::IsStaleRecordsPresent failed: "), 1u);
    EXPECT_EQ(log.Count("Stale records existence result: false"), 1u);
    queries->SetScript(QueryScript{0, std::string(kOneRecord)});
    EXPECT_TRUE(Check());
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 2u);
}

TEST_F(StaleRecordsTest, AnUnknownNotificationSourceFailsEveryCheckWithoutAQuery)
{
    LogCapture log;
    Make(R"(<node DSMInstName="Dsm.Nowhere" CheckIntervalSec:i64="60" SupressedProductIds:i32s="7"
                  WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)");
    EXPECT_FALSE(Check());
    EXPECT_FALSE(Check());
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::SubscribeToDSMChanges failed: "), 2u);
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::IsStaleRecordsPresent failed: "), 2u);
    EXPECT_TRUE(queries->Calls().empty());
}

TEST_F(StaleRecordsTest, EveryMissingSettingFailsConstruction)
{
    for (const char* missing : {"DSMInstName", "CheckIntervalSec", "SupressedProductIds", "WaitIntervalMs",
                                "QueriesProcessorUri"}) {
        const QxNodePtr config = Tree(kCheckerConfig);
        config.DeleteAttribute(missing, true);
        EXPECT_EQ(CodeOf([&] { CreateComponent<CStaleRecordsExistenceChecker>(config); }), kHrNotFound) << missing;
    }
}

}  // namespace
}  // namespace cvn::test
