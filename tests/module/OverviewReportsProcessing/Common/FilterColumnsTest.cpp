// Reading leaves of a filter: column attributes, traversal and the total mask.
#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

namespace cvn::test {
namespace {

TEST(FilterColumns, EachLeafTypeHasItsColumnAttribute)
{
    const QxNodePtr filter = Tree(R"(
        <RetrieveCountersRequest>
          <ConditionsRoot q:name="Conditions"><ConditionValues Columnn="Who" Value="alice"/></ConditionsRoot>
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Where"/></GroupByRoot>
          <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count"/></SortingRoot>
        </RetrieveCountersRequest>)");
    const QxNodePtr condition = filter.GetChild(0).GetChild(0);
    const QxNodePtr groupBy = filter.GetChild(1).GetChild(0);
    EXPECT_EQ(FilterHelper::GetColumnAttrName(condition), "Columnn");
    EXPECT_EQ(FilterHelper::GetColumnAttrName(groupBy), "Column");
    EXPECT_EQ(FilterHelper::GetColumnAttrName(filter.GetChild(0)), std::nullopt);
    EXPECT_EQ(FilterHelper::GetColumnName(condition), "Who");
    EXPECT_EQ(FilterHelper::GetColumnName(filter.GetChild(2).GetChild(0)), "Count");
    EXPECT_EQ(FilterHelper::GetColumnName(filter), std::nullopt);

    FilterHelper::SetColumnName(condition, "G1");
    FilterHelper::SetColumnName(groupBy, "G2");
    EXPECT_EQ(condition.GetRequiredAttribute<std::string>("Columnn"), "G1");
    EXPECT_EQ(groupBy.GetRequiredAttribute<std::string>("Column"), "G2");
    EXPECT_FALSE(condition.HasAttribute("Column"));
}

TEST(FilterColumns, MalformedLeavesFail)
{
    const QxNodePtr leaf = Tree(R"(<ConditionValues Column="Who"/>)");  // the condition attribute has two n
    EXPECT_EQ(CodeOf([&] { FilterHelper::GetColumnName(leaf); }), kHrNotFound);
    const QxNodePtr condition = Tree(R"(<Condition operator="AND"/>)");
    EXPECT_EQ(CodeOf([&] { FilterHelper::SetColumnName(condition, "Who"); }), kHrInvalidData);
    EXPECT_FALSE(condition.HasAttribute("Column"));
    EXPECT_FALSE(condition.HasAttribute("Columnn"));
}

TEST(FilterTraversal, VisitsLeavesAtAnyDepthInOrderWithoutEnteringThem)
{
    const QxNodePtr filter = Tree(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues q:name="a" Columnn="Who"><ConditionValues q:name="inner" Columnn="What"/></ConditionValues>
              <Condition operator="IN"><ConditionValues q:name="b" Columnn="Where"/></Condition>
            </Condition>
          </ConditionsRoot>
          <node q:name="Other"><SortingEntry q:name="c" Column="Who"/></node>
          <GroupByRootEntry q:name="d" Column="What"/>
        </Query>)");
    std::string visited;
    FilterHelper::TraverseCondition(filter, [&](const QxNodePtr& leaf) { visited += leaf.GetName() + " "; });
    EXPECT_EQ(visited, "a b c d ");

    const QxNodePtr leaf = filter.GetChild("d");
    visited.clear();
    FilterHelper::TraverseCondition(leaf, [&](const QxNodePtr& node) { visited += node.GetName(); });
    EXPECT_EQ(visited, "");  // the start node is never passed
}

// Real columns of conditions, grouping and sorting count; pseudo columns do not; anything else
// sets the unknown bit.
TEST(FilterMask, TheTotalMaskOfAFilter)
{
    const std::pair<const char*, uint32_t> cases[] = {
        {R"(<RetrieveCountersRequest>
              <ConditionsRoot q:name="Conditions"><Condition operator="AND">
                <ConditionValues Columnn="Who" Value="alice"/><ConditionValues Columnn="When" Value="2026-01-01T00:00:00Z"/>
              </Condition></ConditionsRoot>
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="What"/></GroupByRoot>
              <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count"/><SortingEntry Column="Where"/></SortingRoot>
            </RetrieveCountersRequest>)",
         0x4C},
        {R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="AND">
              <ConditionValues Columnn="When" Value="x"/><ConditionValues Columnn="ConditionId" Value:i64="3"/>
              <ConditionValues Columnn="Mask" Value:i32="12"/>
            </Condition></ConditionsRoot></Query>)",
         0},
        {R"(<Query><ConditionsRoot q:name="Conditions">
              <ConditionValues Columnn="DataSource" Value:guid="{6F9619FF-8B86-D011-B42D-00C04FC964FF}"/>
              <ConditionValues Columnn="ProductId" Value="P1"/>
            </ConditionsRoot></Query>)",
         0x802},
        {"<Query/>", 0},
    };
    for (const auto& [filter, mask] : cases) EXPECT_EQ(FilterHelper::MakeTotalFiltersMask(Tree(filter)).Value(), mask) << filter;
    EXPECT_EQ(CodeOf([] {
                  FilterHelper::MakeTotalFiltersMask(
                      Tree(R"(<Query><ConditionsRoot><ConditionValues Value="x"/></ConditionsRoot></Query>)"));
              }),
              kHrNotFound);
}

}  // namespace
}  // namespace cvn::test
