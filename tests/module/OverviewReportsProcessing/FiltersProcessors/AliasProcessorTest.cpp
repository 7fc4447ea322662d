// The alias processor: every leaf renamed through the alias map, directly or through the
// table column of the serving group, with "AliasColumn" and "JoinIndex"; and its failures.
#include "module/OverviewReportsProcessing/FiltersProcessors/AliasProcessor.h"

#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::AliasProcessor;

// G2 (Who) joins a second table; the first "When" entry wins; G4 (What) has no alias, as
// the Note child is not an alias entry.
constexpr std::string_view kAliases = R"(
<AliasProcessor>
  <Alias ColumnName="When" ColumnAlias="c.Time"/>
  <Alias ColumnName="When" ColumnAlias="ignored"/>
  <Alias ColumnName="G1" ColumnAlias="c.G1"/>
  <Alias ColumnName="G2" ColumnAlias="u.Name" JoinIndex:i64="2"/>
  <Alias ColumnName="G3" ColumnAlias="c.G3"/>
  <Note ColumnName="G4" ColumnAlias="c.G4"/>
</AliasProcessor>)";

class AliasProcessorTest : public testing::Test {
protected:
    ScopedMetricsConfiguration m_metrics{kPlanMetricsConfiguration};
    AliasProcessor m_processor{Tree(kAliases)};
};

TEST_F(AliasProcessorTest, ConditionsGroupingAndSortingLeavesAllTakeTheirAliases)
{
    const QxNodePtr filter = Tree(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
              <ConditionValues Columnn="When" Value="t" Comparator="&gt;="/>
            </Condition>
          </ConditionsRoot>
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Where"/></GroupByRoot>
          <SortingRoot q:name="SortingRoot"><SortingEntry Column="Who" Order="DESC"/></SortingRoot>
        </Query>)");
    m_processor.ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="u.Name" AliasColumn="Who" JoinIndex:i64="2" Value="alice" Comparator="="/>
              <ConditionValues Columnn="c.Time" AliasColumn="When" Value="t" Comparator="&gt;="/>
            </Condition>
          </ConditionsRoot>
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="c.G3" AliasColumn="Where"/></GroupByRoot>
          <SortingRoot q:name="SortingRoot"><SortingEntry Column="u.Name" AliasColumn="Who" JoinIndex:i64="2" Order="DESC"/></SortingRoot>
        </Query>)")));
}

TEST_F(AliasProcessorTest, ColumnsWithoutAliasAndUnservedFiltersFail)
{
    // Who and What are served by group 0x4D: What sits in G4, which has no alias; Who before it is renamed.
    const QxNodePtr filter = Tree(R"(
        <Query><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/><GroupByRootEntry Column="What"/></GroupByRoot></Query>)");
    LogCapture log;
    EXPECT_EQ(CodeOf([&] { m_processor.ProcessFilters(filter); }), E_INVALIDARG);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::AliasProcessor::ReplaceAlias failed: Invalid alias column: What"),
              1u);
    EXPECT_EQ(filter.FindByPath("GroupByRoot").GetChild(0).GetRequiredAttribute<std::string>("Column"), "u.Name");

    const QxNodePtr mask = Tree(
        R"(<Query><ConditionsRoot q:name="Conditions"><ConditionValues Columnn="Mask" Value:i32="13" Comparator="="/></ConditionsRoot></Query>)");
    EXPECT_EQ(CodeOf([&] { m_processor.ProcessFilters(mask); }), E_INVALIDARG);
    EXPECT_EQ(log.Count("Invalid column name and mask: Mask 13"), 1u);

    const QxNodePtr unserved = Tree(
        R"(<Query><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ObjectType"/></GroupByRoot></Query>)");
    EXPECT_EQ(CodeOf([&] { m_processor.ProcessFilters(unserved); }), kHrNotFound);
    EXPECT_FALSE(unserved.FindByPath("GroupByRoot").GetChild(0).HasAttribute("AliasColumn"));
}

}  // namespace
}  // namespace cvn::test
