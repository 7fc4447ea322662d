// The monitoring plan name processor against a fake configuration server: ids on
// "ManagedObjectUId" rewritten to plan names, ids without a name kept beside them,
// grouping and sorting untouched, and Shutdown ending the subscription.
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanNameProcessor.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;
using OverviewReportsProcessing::MonitoringPlanNameProcessor;

constexpr char kConfig[] = R"(<MonitoringPlanNameProcessor MonitoringPlansCfgPath="\Configuration\MonitoringPlans"/>)";

// p1 is "Alpha", p2 "Beta" (the list names it without braces and dashes), p3 has no name.
#define PLAN_P1 "{00000001-0000-0000-0000-000000000000}"
#define PLAN_P2 "{00000002-0000-0000-0000-000000000000}"
#define PLAN_P3 "{00000003-0000-0000-0000-000000000000}"

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
    std::shared_ptr<MonitoringPlanNameProcessor> m_processor =
        std::make_shared<MonitoringPlanNameProcessor>(Tree(kConfig), 5ms);
};

TEST_F(PlanNamesTest, SingleIdsWithANameMoveToManagedObjectOthersStay)
{
    const std::string filter = R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P2 R"(" Comparator="="/>
              <ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P3 R"(" Comparator="="/>
              <ConditionValues Columnn="managedObjectUId" Value:guid=")" PLAN_P1 R"(" Comparator="="/>
            </Condition>
          </ConditionsRoot>
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ManagedObjectUId"/></GroupByRoot>
          <SortingRoot q:name="SortingRoot"><SortingEntry Column="ManagedObjectUId"/></SortingRoot>
        </Query>)";
    std::string expected = filter;
    const std::string before = R"(<ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P2 "\"";
    expected.replace(expected.find(before), before.size(), R"(<ConditionValues Columnn="ManagedObject" Value="Beta")");
    EXPECT_EQ(Canonical(Processed(filter)), Canonical(Tree(expected)));
}

TEST_F(PlanNamesTest, ListsAreRenamedWholeOrLeftAloneWhenNoIdHasAName)
{
    const QxNodePtr all = Processed(R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="IN">
        <ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P2 "|" PLAN_P1 R"("/></Condition></ConditionsRoot></Query>)");
    EXPECT_EQ(Canonical(all), Canonical(Tree(R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="IN">
        <ConditionValues Columnn="ManagedObject" Values:strs="Beta|Alpha"/></Condition></ConditionsRoot></Query>)")));

    const std::string none = R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="IN">
        <ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/></Condition></ConditionsRoot></Query>)";
    EXPECT_EQ(Canonical(Processed(none)), Canonical(Tree(none)));
}

TEST_F(PlanNamesTest, APartlyNamedInListBecomesAnOrOfNamesAndTheRemainingIds)
{
    const QxNodePtr filter = Processed(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <Condition operator="IN">
                <ConditionValues Columnn="ManagedObjectUId" AliasColumn="Plan" Comparator="=" Extra="x"
                    Values:guids=")" PLAN_P1 "|" PLAN_P3 "|" PLAN_P2 R"("/>
              </Condition>
              <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
            </Condition>
          </ConditionsRoot>
        </Query>)");
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
              <Condition operator="OR">
                <Condition operator="IN">
                  <ConditionValues Columnn="ManagedObject" AliasColumn="Plan" Comparator="=" Extra="x" Values:strs="Alpha|Beta"/>
                </Condition>
                <Condition operator="IN">
                  <ConditionValues AliasColumn="Plan" Comparator="=" Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/>
                </Condition>
              </Condition>
            </Condition>
          </ConditionsRoot>
        </Query>)")));
}

TEST_F(PlanNamesTest, APartlyNamedNotInListExcludesBothNamesAndRemainingIds)
{
    const QxNodePtr filter = Processed(R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="AND">
        <Condition operator="NOT IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 "|" PLAN_P1 R"("/>
        </Condition></Condition></ConditionsRoot></Query>)");
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="AND">
        <Condition operator="AND">
          <Condition operator="NOT IN"><ConditionValues Columnn="ManagedObject" Values:strs="Alpha"/></Condition>
          <Condition operator="NOT IN"><ConditionValues Columnn="ManagedObjectUId" Values:guids=")" PLAN_P3 R"("/></Condition>
        </Condition></Condition></ConditionsRoot></Query>)")));
}

TEST_F(PlanNamesTest, AnIdValueThatIsNotAGuidFailsTheFilter)
{
    const QxNodePtr filter = Tree(R"(<Query><ConditionsRoot q:name="Conditions">
        <ConditionValues Columnn="ManagedObjectUId" Value:i32="7" Comparator="="/></ConditionsRoot></Query>)");
    EXPECT_NE(CodeOf([&] { m_processor->ProcessFilters(filter); }), S_OK);
}

TEST_F(PlanNamesTest, ANewListRenamesTheNextFilterABadOneKeepsTheOldAndShutdownEndsIt)
{
    constexpr std::string_view filter = R"(<Query><ConditionsRoot q:name="Conditions">
        <ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P1 R"(" Comparator="="/></ConditionsRoot></Query>)";
    const auto value = [&] {
        return Processed(filter).FindByPath("Conditions").GetChild(0).GetAttributeOr("Value", "");
    };
    EXPECT_EQ(value(), "Alpha");
    ASSERT_EQ(m_config.SendPlans(R"(<MonitoringPlans><P q:name=")" PLAN_P1 R"(" Name="Renamed"/></MonitoringPlans>)"), S_OK);
    EXPECT_EQ(value(), "Renamed");
    ASSERT_EQ(m_config.SendPlans(R"(<MonitoringPlans><P q:name=")" PLAN_P1 R"(" Name="Half"/><P q:name=")" PLAN_P2 R"("/></MonitoringPlans>)"),
              kHrNotFound);  // the second plan lacks its Name
    EXPECT_EQ(value(), "Renamed");
    EXPECT_EQ(m_config.server->Entries()[0].changesMask, 31);

    m_processor->Shutdown();
    EXPECT_TRUE(m_config.server->Entries().empty());
    m_config.SendPlans("<MonitoringPlans/>");
    EXPECT_EQ(value(), "Renamed");
}

TEST(PlanNamesBeforeAnyNotification, NothingIsReplaced)
{
    ScopedConfigServer config;
    const auto processor = std::make_shared<MonitoringPlanNameProcessor>(Tree(kConfig), 5ms);
    constexpr std::string_view text = R"(<Query><ConditionsRoot q:name="Conditions">
        <ConditionValues Columnn="ManagedObjectUId" Value:guid=")" PLAN_P1 R"(" Comparator="="/></ConditionsRoot></Query>)";
    const QxNodePtr filter = Tree(text);
    processor->ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(text)));
}

}  // namespace
}  // namespace cvn::test
