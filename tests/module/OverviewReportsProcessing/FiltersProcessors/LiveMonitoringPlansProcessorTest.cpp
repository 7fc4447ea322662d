// The live monitoring plans processor against a fake configuration server: the lazy
// subscription, the live condition from the latest plans list, the three id text forms,
// bad lists, and Shutdown ending the subscription for good.
#include "module/OverviewReportsProcessing/FiltersProcessors/LiveMonitoringPlansProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanId.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;
using OverviewReportsProcessing::LiveMonitoringPlansProcessor;
using OverviewReportsProcessing::ParseMonitoringPlanId;

constexpr char kConfig[] = R"(<LiveMonitoringPlansProcessor MonitoringPlansCfgPath="\Configuration\MonitoringPlans"/>)";

// Plan ids sort around the always-live id {17D9ED53-...}.
constexpr char kTwoPlans[] = R"(
<MonitoringPlans>
  <Plan q:name="{0000000a-0000-0000-0000-00000000000b}"/>
  <Plan q:name="20000000-0000-0000-0000-000000000001"/>
</MonitoringPlans>)";

constexpr char kFilter[] = R"(
<Query q:name="Sub">
  <ConditionsRoot q:name="Conditions"><ConditionValues Columnn="Who" Value="alice" Comparator="="/></ConditionsRoot>
</Query>)";

std::string LiveValues(const QxNodePtr& filter)
{
    std::string values;
    filter.FindByPath("Conditions").GetChild(0).GetChild(0).GetChild(0).GetAttribute("Values", values);
    return values;
}

class LivePlansTest : public testing::Test {
protected:
    ScopedConfigServer m_config;
    std::shared_ptr<LiveMonitoringPlansProcessor> m_processor =
        std::make_shared<LiveMonitoringPlansProcessor>(Tree(kConfig), 5ms);
};

TEST_F(LivePlansTest, SubscribesOnTheFirstFilterThenEveryFilterGainsTheLivePlansAsFirstAndTerm)
{
    EXPECT_TRUE(m_config.server->Entries().empty());
    const QxNodePtr before = Tree(kFilter);
    m_processor->ProcessFilters(before);
    m_processor->ProcessFilters(before);
    EXPECT_EQ(Canonical(before), Canonical(Tree(kFilter))) << "nothing changes before a notification";
    const auto entries = m_config.server->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, kPlansPath);
    EXPECT_EQ(entries[0].changesMask, 24);
    EXPECT_EQ(entries[0].subscribeOptions, 11);

    // The always-live id sorts among the listed ones, which are written in any text form.
    ASSERT_EQ(m_config.SendPlans(kTwoPlans), S_OK);
    const QxNodePtr filter = Tree(kFilter);
    m_processor->ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query q:name="Sub">
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <Condition operator="IN">
                <ConditionValues Columnn="ManagedObjectUId" Values:guids="{0000000A-0000-0000-0000-00000000000B}|{17D9ED53-091A-4A87-835F-5A486882436F}|{20000000-0000-0000-0000-000000000001}"/>
              </Condition>
              <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
            </Condition>
          </ConditionsRoot>
        </Query>)")));
}

TEST_F(LivePlansTest, EachNotificationReplacesTheWholeSetAndBadListsKeepThePreviousOne)
{
    m_processor->ProcessFilters(Tree(kFilter));
    ASSERT_EQ(m_config.SendPlans(kTwoPlans), S_OK);
    // Batched delivery too: the next filters see the new list once it is published.
    ASSERT_EQ(m_config.SendPlans(R"(<MonitoringPlans><P q:name="300000000000000000000000000000FF"/></MonitoringPlans>)",
                                 false),
              S_OK);
    const auto live = [&] {
        const QxNodePtr filter = Tree(kFilter);
        m_processor->ProcessFilters(filter);
        return LiveValues(filter);
    };
    const std::string latest = "{17D9ED53-091A-4A87-835F-5A486882436F}|{30000000-0000-0000-0000-0000000000FF}";
    EXPECT_TRUE(WaitUntil([&] { return live() == latest; }));

    LogCapture log;
    ASSERT_EQ(
        m_config.SendPlans(
            R"(<MonitoringPlans><P q:name="{40000000-0000-0000-0000-000000000001}"/><P q:name="plan-5"/></MonitoringPlans>)"),
        E_INVALIDARG);  // a synchronous delivery hands the failure back to the server
    EXPECT_EQ(log.Count("ParseMonitoringPlanId failed: Invalid monitoring plan id: plan-5"), 1u);
    // One plan's node below the list is not the list.
    ASSERT_EQ(m_config.server->Notify(
                  true, {Notification(std::string(kPlansPath) + "\\{50000000-0000-0000-0000-000000000001}", 8,
                                      "<Plan q:name=\"{50000000-0000-0000-0000-000000000001}\"/>")}),
              S_OK);
    EXPECT_EQ(live(), latest);

    ASSERT_EQ(m_config.SendPlans("<MonitoringPlans/>"), S_OK);
    EXPECT_EQ(live(), "{17D9ED53-091A-4A87-835F-5A486882436F}");
}

TEST_F(LivePlansTest, AFailedSubscriptionFailsTheFilterAndTheNextFilterTriesAgain)
{
    m_config.server->m_activateResult = E_ACCESSDENIED;
    const QxNodePtr filter = Tree(kFilter);
    EXPECT_EQ(CodeOf([&] { m_processor->ProcessFilters(filter); }), E_ACCESSDENIED);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(kFilter)));
    m_config.server->m_activateResult = S_OK;
    m_processor->ProcessFilters(filter);
    EXPECT_EQ(m_config.server->Entries().size(), 1u);
}

TEST_F(LivePlansTest, AfterShutdownNoNotificationIsAppliedAndNothingSubscribesAgain)
{
    m_processor->ProcessFilters(Tree(kFilter));
    ASSERT_EQ(m_config.SendPlans(kTwoPlans), S_OK);
    m_processor->Shutdown();
    EXPECT_EQ(m_config.server->Unsubscribes(), 1);
    EXPECT_TRUE(m_config.server->Entries().empty());
    m_config.SendPlans("<MonitoringPlans/>");
    const QxNodePtr filter = Tree(kFilter);
    m_processor->ProcessFilters(filter);
    EXPECT_EQ(LiveValues(filter).size(), 3u * 38 + 2);  // still the three of before
    EXPECT_TRUE(m_config.server->Entries().empty());

    const auto never = std::make_shared<LiveMonitoringPlansProcessor>(Tree(kConfig), 5ms);
    never->Shutdown();
    never->ProcessFilters(Tree(kFilter));
    EXPECT_TRUE(m_config.server->Entries().empty());
}

TEST_F(LivePlansTest, FiltersRunWhileTheListChanges)
{
    m_processor->ProcessFilters(Tree(kFilter));
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            try {
                for (int i = 0; i < 200; ++i) {
                    const QxNodePtr filter = Tree(kFilter);
                    m_processor->ProcessFilters(filter);
                    // Either no live condition yet, or one with the always-live id at least.
                    const bool live = filter.FindByPath("Conditions").GetChild(0).GetChildCount() == 2;
                    if (live && LiveValues(filter).find("{17D9ED53") == std::string::npos) failed = true;
                }
            } catch (...) {
                failed = true;
            }
        });
    }
    for (int i = 0; i < 50; ++i) m_config.SendPlans(i % 2 ? kTwoPlans : "<MonitoringPlans/>");
    for (auto& worker : workers) worker.join();
    EXPECT_FALSE(failed);
}

TEST(MonitoringPlanId, BracedPlainAndUndashedFormsInAnyCaseAndNothingShortOfElevenFullFields)
{
    const GUID expected = MakeGuid(0x0123ABCD, 0x4567, 0x89EF, 0xA1B2, 0xC3D4E5F60718);
    EXPECT_EQ(ParseMonitoringPlanId("{0123abcd-4567-89EF-a1b2-C3D4E5F60718}"), expected);
    EXPECT_EQ(ParseMonitoringPlanId("0123ABCD-4567-89ef-A1B2-c3d4e5f60718"), expected);
    EXPECT_EQ(ParseMonitoringPlanId("0123abcd456789efa1b2c3d4e5f60718"), expected);
    for (const char* text : {"", "{}", "{0123abcd-4567-89ef-a1b2-c3d4e5f60718", "0123abcd-4567-89ef-a1b2-c3d4e5f6071",
                             "{0123abcd-4567-89ef-a1b2-c3d4e5f60718}x", "0123abcd456789efa1b2c3d4e5f6071",
                             "0123abcd456789efa1b2c3d4e5f607189", "0123abcd-4567-89ef-a1b2c3d4e5f60718",
                             "{0123abcd-4567-89ef-a1b2-c3d4e5f6071g}", "{0123abcd4567-89ef-a1b2-c3d4e5f60718}"}) {
        EXPECT_EQ(CodeOf([&] { ParseMonitoringPlanId(text); }), E_INVALIDARG) << text;
    }
}

}  // namespace
}  // namespace cvn::test
