// The two processors that follow the monitoring plans list on a fake configuration server:
// live plans (the lazy subscription, the live condition from the latest list, the id text
// forms, bad lists) and plan names (ids on "ManagedObjectUId" rewritten to names); Shutdown
// ends the subscription of either for good.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "module/OverviewReportsProcessing/FiltersProcessors/LiveMonitoringPlansProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanId.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanNameProcessor.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;
using OverviewReportsProcessing::LiveMonitoringPlansProcessor;
using OverviewReportsProcessing::MonitoringPlanNameProcessor;
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
    // A failed subscription fails the filter, unchanged; the next filter tries again.
    m_config.server->m_activateResult = E_ACCESSDENIED;
    const QxNodePtr before = Tree(kFilter);
    EXPECT_EQ(CodeOf([&] { m_processor->ProcessFilters(before); }), E_ACCESSDENIED);
    EXPECT_TRUE(m_config.server->Entries().empty());
    m_config.server->m_activateResult = S_OK;
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

// A text starting with "{" is read braced, one without "-" undashed, any other dashed: each field up to
// its width of digits after optional blanks, nothing looked at after the eleventh.
TEST(MonitoringPlanId, EachFormIsReadAsItsScanReadsItAndNothingShortOfElevenFields)
{
    const GUID full = MakeGuid(0x0123ABCD, 0x4567, 0x89EF, 0xA1B2, 0xC3D4E5F60718);
    const std::pair<const char*, GUID> read[] = {
        {"{0123abcd-4567-89EF-a1b2-C3D4E5F60718}", full},
        {"0123ABCD-4567-89ef-A1B2-c3d4e5f60718", full},
        {"0123abcd456789efa1b2c3d4e5f60718", full},
        {"{0123abcd-4567-89ef-a1b2-c3d4e5f60718", full},
        {"{0123abcd-4567-89ef-a1b2-c3d4e5f60718}x", full},
        {"0123abcd456789efa1b2c3d4e5f607189", full},
        {"0123abcd 4567 89ef a1b2 c3d4e5f60718", full},
        {"{1-2-3-0405-060708090a0b}", MakeGuid(1, 2, 3, 0x0405, 0x060708090A0B)},
        {"0123abcd-4567-89ef-a1b2-c3d4e5f6071g", MakeGuid(0x0123ABCD, 0x4567, 0x89EF, 0xA1B2, 0xC3D4E5F60701)},
    };
    for (const auto& [text, expected] : read) EXPECT_EQ(ParseMonitoringPlanId(text), expected) << text;
    for (const char* text : {"", "{}", "plan-5", "0123abcd456789efa1b2c3d4e5f607", "0123abcd-4567-89ef-a1b2c3d4e5f60718",
                             "{0123abcd4567-89ef-a1b2-c3d4e5f60718}", "{0123abcd-4567-89ef-a1b2-c3d4e5f6g718}",
                             " {0123abcd-4567-89ef-a1b2-c3d4e5f60718}", "+123abcd-4567-89ef-a1b2-c3d4e5f60718"}) {
        EXPECT_EQ(CodeOf([&] { ParseMonitoringPlanId(text); }), E_INVALIDARG) << text;
    }
}

// p1 is "Alpha", p2 "Beta" (the list names it without braces and dashes), p3 has no name.
#define PLAN_P1 "{00000001-0000-0000-0000-000000000000}"
#define PLAN_P2 "{00000002-0000-0000-0000-000000000000}"
#define PLAN_P3 "{00000003-0000-0000-0000-000000000000}"

/// The conditions inside a filter that groups and sorts on the plan id (which stays untouched).
std::string OnPlans(std::string_view conditions)
{
    return R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="AND">)" + std::string(conditions) +
           R"(</Condition></ConditionsRoot>
             <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ManagedObjectUId"/></GroupByRoot>
             <SortingRoot q:name="SortingRoot"><SortingEntry Column="ManagedObjectUId"/></SortingRoot></Query>)";
}

class PlanNamesTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_processor->ProcessFilters(Tree("<Query/>"));  // subscribes
        ASSERT_EQ(m_config.SendPlans(kTwoNamedPlans), S_OK);
    }
    QxNodePtr Processed(std::string_view text)
    {
        const QxNodePtr filter = Tree(text);
        m_processor->ProcessFilters(filter);
        return filter;
    }

    ScopedConfigServer m_config;
    std::shared_ptr<MonitoringPlanNameProcessor> m_processor = std::make_shared<MonitoringPlanNameProcessor>(
        Tree(R"(<MonitoringPlanNameProcessor MonitoringPlansCfgPath="\Configuration\MonitoringPlans"/>)"), 5ms);
};

TEST_F(PlanNamesTest, IdsWithANameBecomeNamesTheOthersStayIds)
{
    const std::pair<const char*, const char*> cases[] = {
        // Single ids with a name move to "ManagedObject"; the column name is case-sensitive.
        {R"(<ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P2 R"(" Comparator="="/>
            <ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P3 R"(" Comparator="="/>
            <ConditionValues Columnn="managedObjectUId" Value:guid=")" PLAN_P1 R"(" Comparator="="/>)",
         R"(<ConditionValues Columnn="ManagedObject" Value="Beta" Comparator="="/>
            <ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P3 R"(" Comparator="="/>
            <ConditionValues Columnn="managedObjectUId" Value:guid=")" PLAN_P1 R"(" Comparator="="/>)"},
        // A list is renamed whole, or left alone when no id has a name.
        {R"(<Condition operator="IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P2 "|" PLAN_P1 R"("/></Condition>)",
         R"(<Condition operator="IN"><ConditionValues Columnn="ManagedObject" Values:strs="Beta|Alpha"/></Condition>)"},
        {R"(<Condition operator="IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/></Condition>)",
         R"(<Condition operator="IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/></Condition>)"},
        // A partly named IN list becomes an OR of names and the remaining ids, placed last.
        {R"(<Condition operator="IN">
              <ConditionValues Columnn="ManagedObjectUId" AliasColumn="Plan" Comparator="=" Extra="x"
                  Values:guids=")" PLAN_P1 "|" PLAN_P3 "|" PLAN_P2 R"("/>
            </Condition>
            <ConditionValues Columnn="Who" Value="alice" Comparator="="/>)",
         R"(<ConditionValues Columnn="Who" Value="alice" Comparator="="/>
            <Condition operator="OR">
              <Condition operator="IN">
                <ConditionValues Columnn="ManagedObject" AliasColumn="Plan" Comparator="=" Extra="x" Values:strs="Alpha|Beta"/>
              </Condition>
              <Condition operator="IN">
                <ConditionValues AliasColumn="Plan" Comparator="=" Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/>
              </Condition>
            </Condition>)"},
        // A partly named NOT IN list excludes both the names and the remaining ids.
        {R"(<Condition operator="NOT IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 "|" PLAN_P1 R"("/></Condition>)",
         R"(<Condition operator="AND">
              <Condition operator="NOT IN"><ConditionValues Columnn="ManagedObject" Values:strs="Alpha"/></Condition>
              <Condition operator="NOT IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/></Condition>
            </Condition>)"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(Canonical(Processed(OnPlans(input))), Canonical(Tree(OnPlans(expected)))) << input;

    const QxNodePtr notAGuid = Tree(OnPlans(R"(<ConditionValues Columnn="ManagedObjectUId" Value:i32="7" Comparator="="/>)"));
    EXPECT_NE(CodeOf([&] { m_processor->ProcessFilters(notAGuid); }), S_OK);
}

TEST_F(PlanNamesTest, ANewListRenamesTheNextFilterABadOneKeepsTheOldAndShutdownEndsIt)
{
    const std::string filter = OnPlans(R"(<ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P1 R"(" Comparator="="/>)");
    const auto value = [&] {
        return Processed(filter).FindByPath("Conditions").GetChild(0).GetChild(0).GetAttributeOr("Value", "");
    };
    EXPECT_EQ(value(), "Alpha");
    // A plan listed twice, in two text forms, keeps its first name.
    ASSERT_EQ(m_config.SendPlans(R"(<MonitoringPlans><P q:name=")" PLAN_P1 R"(" Name="Renamed"/>
                                   <P q:name="00000001000000000000000000000000" Name="Later"/></MonitoringPlans>)"),
              S_OK);
    EXPECT_EQ(value(), "Renamed");
    ASSERT_EQ(m_config.SendPlans(R"(<MonitoringPlans><P q:name=")" PLAN_P1 R"(" Name="Half"/><P q:name=")" PLAN_P2 R"("/></MonitoringPlans>)"),
              kHrNotFound);  // the second plan lacks its Name
    EXPECT_EQ(value(), "Renamed");
    EXPECT_EQ(m_config.server->Entries()[0].changesMask, 31);

    m_processor->Shutdown();
    EXPECT_TRUE(m_config.server->Entries().empty());
    m_config.SendPlans("<MonitoringPlans/>");
    EXPECT_EQ(value(), "Renamed");

    // Before any notification nothing is replaced.
    const auto fresh = std::make_shared<MonitoringPlanNameProcessor>(
        Tree(R"(<MonitoringPlanNameProcessor MonitoringPlansCfgPath="\Configuration\MonitoringPlans"/>)"), 5ms);
    const QxNodePtr untouched = Tree(filter);
    fresh->ProcessFilters(untouched);
    EXPECT_EQ(Canonical(untouched), Canonical(Tree(filter)));
    fresh->Shutdown();
}

}  // namespace
}  // namespace cvn::test
