// Rewriting conditions: one more AND term, replacing a leaf or its list
// condition, and replacing a node by path.
#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

namespace cvn::test {
namespace {

QxNodePtr Leaf(std::string_view column, std::string_view value)
{
    return Tree("<ConditionValues Columnn=\"" + std::string(column) + "\" Value=\"" + std::string(value) +
                "\" Comparator=\"=\"/>");
}

TEST(AddNewCondition, AFilterWithoutConditionsGetsOneAndGroup)
{
    const QxNodePtr filter = Tree(R"(<Query><node q:name="TimeRange" TimeFrom="a" TimeTill="b"/></Query>)");
    FilterHelper::AddNewCondition(Leaf("Mask", "12"), filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query>
          <node q:name="TimeRange" TimeFrom="a" TimeTill="b"/>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND"><ConditionValues Columnn="Mask" Value="12" Comparator="="/></Condition>
          </ConditionsRoot>
        </Query>)")));
}

TEST(AddNewCondition, RepeatedCallsNestThePreviousConditionsOneLevelDeeper)
{
    const QxNodePtr filter = Tree(R"(
        <RetrieveCountersRequest q:name="R">
          <ConditionsRoot q:name="Conditions">
            <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
            <Condition operator="OR"><ConditionValues Columnn="Where" Value="srv" Comparator="="/></Condition>
          </ConditionsRoot>
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
        </RetrieveCountersRequest>)");
    FilterHelper::AddNewCondition(Leaf("Mask", "13"), filter);
    FilterHelper::AddNewCondition(Leaf("ConditionId", "1"), filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <RetrieveCountersRequest q:name="R">
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="ConditionId" Value="1" Comparator="="/>
              <Condition operator="AND">
                <ConditionValues Columnn="Mask" Value="13" Comparator="="/>
                <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
                <Condition operator="OR"><ConditionValues Columnn="Where" Value="srv" Comparator="="/></Condition>
              </Condition>
            </Condition>
          </ConditionsRoot>
        </RetrieveCountersRequest>)")));
}

class ReplaceConditionValue : public testing::Test {
protected:
    QxNodePtr m_filter = Tree(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <Condition operator="NOT IN"><ConditionValues q:name="list" Columnn="Who" Values:strs="a|b"/></Condition>
              <ConditionValues q:name="single" Columnn="Where" Value="srv" Comparator="="/>
              <ConditionValues q:name="last" Columnn="What" Value="x" Comparator="="/>
            </Condition>
          </ConditionsRoot>
        </Query>)");
    QxNodePtr m_and = m_filter.GetChild(0).GetChild(0);
};

TEST_F(ReplaceConditionValue, ALeafUnderAListReplacesTheWholeListALeafUnderAGroupOnlyItself)
{
    FilterHelper::ReplaceConditionValue(m_and.GetChild(0).GetChild(0), Tree(R"(<Condition q:name="new" operator="IN"/>)"));
    FilterHelper::ReplaceConditionValue(m_and.GetChild("single"), Leaf("Where", "other"));
    ASSERT_EQ(m_and.GetChildCount(), 3u);  // each replacement goes last
    EXPECT_EQ(m_and.GetChild(0).GetName() + " " + m_and.GetChild(1).GetName(), "last new");
    EXPECT_EQ(m_and.GetChild(2).GetRequiredAttribute<std::string>("Value"), "other");
}

TEST_F(ReplaceConditionValue, AParentWithoutOperatorFailsAndChangesNothing)
{
    m_and.DeleteAttribute("operator");
    const std::string before = Canonical(m_filter);
    EXPECT_EQ(CodeOf([&] { FilterHelper::ReplaceConditionValue(m_and.GetChild("single"), Leaf("Who", "x")); }),
              kHrNotFound);
    EXPECT_EQ(Canonical(m_filter), before);
    EXPECT_EQ(CodeOf([&] { FilterHelper::ReplaceConditionValue(Leaf("Who", "x"), Leaf("Who", "y")); }), kHrNotFound);
}

class ReplaceByPath : public testing::Test {
protected:
    QxNodePtr m_root = Tree(R"(
        <RetrieveCountersRequest q:name="Request">
          <ConditionsRoot q:name="Conditions">
            <ConditionValues q:name="Who" Columnn="Who" Value="alice"/>
            <ConditionValues q:name="Where" Columnn="Where" Value="srv"/>
          </ConditionsRoot>
        </RetrieveCountersRequest>)");
};

TEST_F(ReplaceByPath, TheReplacementItselfTakesTheNodesPlaceAsLastChild)
{
    FilterHelper::Replace(Tree(R"(<ConditionValues q:name="Who" Path="\Request\Conditions\Who" Columnn="Who" Value="bob"/>)"),
                          m_root);
    FilterHelper::Replace(Tree(R"(<node q:name="W" Path="Conditions\Where"><Condition operator="OR"/></node>)"), m_root);
    EXPECT_EQ(Canonical(m_root), Canonical(Tree(R"(
        <RetrieveCountersRequest q:name="Request">
          <ConditionsRoot q:name="Conditions">
            <ConditionValues q:name="Who" Path="\Request\Conditions\Who" Columnn="Who" Value="bob"/>
            <node q:name="W" Path="Conditions\Where"><Condition operator="OR"/></node>
          </ConditionsRoot>
        </RetrieveCountersRequest>)")));
}

TEST_F(ReplaceByPath, MissingPathOrTargetFailsAndChangesNothing)
{
    const std::string before = Canonical(m_root);
    LogCapture log;
    EXPECT_EQ(CodeOf([&] { FilterHelper::Replace(Tree(R"(<ConditionValues Columnn="Who"/>)"), m_root); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { FilterHelper::Replace(Tree(R"(<node Path="Conditions\Nope"/>)"), m_root); }), kHrNotFound);
    EXPECT_EQ(log.Count("FilterHelper::Replace failed: Node for replacement not found: Conditions\\Nope"), 1u);
    EXPECT_EQ(CodeOf([&] { FilterHelper::Replace(Tree(R"(<node Path="\Request"/>)"), m_root); }), kHrInvalidData);
    EXPECT_EQ(Canonical(m_root), before);
}

}  // namespace
}  // namespace cvn::test
