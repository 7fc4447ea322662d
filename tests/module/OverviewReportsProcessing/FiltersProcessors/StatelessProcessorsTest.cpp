// The processors that need no subscription: alias, mask and preset, When, sorting and
// query template; what each adds to a filter and how each fails.
#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/AliasProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MaskProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/PresetConditionProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/QueryTemplateProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/SortingProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/WhenProcessor.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace OverviewReportsProcessing;

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

class MaskAndPresetProcessors : public testing::Test {
protected:
    ScopedMetricsConfiguration m_metrics{kMetricsConfiguration};
};

// The mask is the serving group's plus ManagedObjectUId, the smallest group for a filter only on
// When; columns no group serves fail with the filter unchanged.
TEST_F(MaskAndPresetProcessors, TheServingGroupsMaskGoesInFrontOfTheFiltersOwnConditions)
{
    const QxNodePtr filter = Tree(R"(
        <Query q:name="Sub">
          <ConditionsRoot q:name="Conditions"><ConditionValues Columnn="What" Value="x" Comparator="="/></ConditionsRoot>
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
        </Query>)");
    MaskProcessor(nullptr).ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query q:name="Sub">
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="Mask" Value:i32="77" Comparator="="/>
              <ConditionValues Columnn="What" Value="x" Comparator="="/>
            </Condition>
          </ConditionsRoot>
        </Query>)")));

    const QxNodePtr when = Tree(
        R"(<Query><ConditionsRoot q:name="Conditions"><ConditionValues Columnn="When" Value="t" Comparator="&gt;="/></ConditionsRoot></Query>)");
    MaskProcessor(nullptr).ProcessFilters(when);
    EXPECT_EQ(when.FindByPath("Conditions").GetChild(0).GetChild(0).GetRequiredAttribute<int32_t>("Value"), 0xD);

    const QxNodePtr unserved = Tree(
        R"(<Query><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="DataSource"/></GroupByRoot></Query>)");
    const std::string before = Canonical(unserved);
    LogCapture log;
    EXPECT_EQ(CodeOf([&] { MaskProcessor(nullptr).ProcessFilters(unserved); }), kHrNotFound);
    EXPECT_EQ(log.Count("Full mask not found: 2048"), 1u);
    EXPECT_EQ(Canonical(unserved), before);
}

TEST_F(MaskAndPresetProcessors, PresetIdComesFromTheNamedPresetOrDefaultPresetAndUnknownNamesFail)
{
    const QxNodePtr named = Tree(R"(<Query PresetConditionName="Failed"/>)");
    PresetConditionProcessor(nullptr).ProcessFilters(named);
    EXPECT_EQ(Canonical(named), Canonical(Tree(R"(
        <Query PresetConditionName="Failed">
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND"><ConditionValues Columnn="ConditionId" Value:i64="2" Comparator="="/></Condition>
          </ConditionsRoot>
        </Query>)")));

    const QxNodePtr unnamed = Tree(R"(<Query/>)");
    PresetConditionProcessor(nullptr).ProcessFilters(unnamed);
    EXPECT_EQ(unnamed.FindByPath("Conditions").GetChild(0).GetChild(0).GetRequiredAttribute<int64_t>("Value"), 1);

    const QxNodePtr unknown = Tree(R"(<Query PresetConditionName="failed"/>)");  // names are case-sensitive
    LogCapture log;
    EXPECT_EQ(CodeOf([&] { PresetConditionProcessor(nullptr).ProcessFilters(unknown); }), kHrNotFound);
    EXPECT_EQ(log.Count("Invalid preset condition name: failed"), 1u);
    EXPECT_EQ(unknown.GetChildCount(), 0u);
}

// The range becomes the first AND term with its texts unchanged and the offset is handed on;
// without range or offset only the offset is written, as zero.
TEST(WhenProcessor, TheRangeGoesAheadOfTheFiltersOwnConditions)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"(<Query q:name="Sub" TimeZoneOffsetSec:i32="-3600">
              <ConditionsRoot q:name="Conditions">
                <Condition operator="AND"><ConditionValues Columnn="Who" Value="alice" Comparator="="/></Condition>
              </ConditionsRoot>
              <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="not even a time"/>
            </Query>)",
         R"(<Query q:name="Sub" TimeZoneOffsetSec:i32="-3600" DateTimeOffset:i32="-3600" DateTimePart="second">
              <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="not even a time"/>
              <ConditionsRoot q:name="Conditions">
                <Condition operator="AND">
                  <Condition operator="AND">
                    <ConditionValues Columnn="When" Value="2026-01-01T00:00:00Z" Comparator="&gt;="/>
                    <ConditionValues Columnn="When" Value="not even a time" Comparator="&lt;"/>
                  </Condition>
                  <Condition operator="AND"><ConditionValues Columnn="Who" Value="alice" Comparator="="/></Condition>
                </Condition>
              </ConditionsRoot>
            </Query>)"},
        {R"(<Query q:name="Sub"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></Query>)",
         R"(<Query q:name="Sub" DateTimeOffset:i32="0" DateTimePart="second">
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
            </Query>)"},
    };
    for (const auto& [input, expected] : cases) {
        const QxNodePtr filter = Tree(input);
        WhenProcessor(Tree("<Config/>")).ProcessFilters(filter);
        EXPECT_EQ(Canonical(filter), Canonical(Tree(expected)));
    }
}

TEST(WhenProcessor, ARangeWithOneBoundFailsAndLeavesTheFilterAsItWas)
{
    for (const char* range :
         {R"(<node q:name="TimeRange" TimeFrom="a"/>)", R"(<node q:name="TimeRange" TimeTill="b"/>)"}) {
        const QxNodePtr filter = Tree(std::string("<Query q:name=\"Sub\">") + range + "</Query>");
        const std::string before = Canonical(filter);
        LogCapture log;
        EXPECT_EQ(CodeOf([&] { WhenProcessor(nullptr).ProcessFilters(filter); }), kHrInvalidData) << range;
        EXPECT_EQ(log.Count("FilterHelper::ConvertTimeRangeToWhenCondition failed: Invalid timerange filter"), 1u);
        EXPECT_EQ(Canonical(filter), before);
    }
    // Null gives null; a bound that is absent is skipped.
    EXPECT_FALSE(FilterHelper::ConvertTimeRangeToWhenCondition(nullptr));
    const QxNodePtr target = FilterHelper::NewCondition("AND");
    FilterHelper::AddWhenCondition(target, Tree(R"(<node TimeFrom="a"/>)"), "TimeTill", "<");
    FilterHelper::AddWhenCondition(target, Tree(R"(<node TimeFrom="a"/>)"), "TimeFrom", ">");
    EXPECT_EQ(Canonical(target), Canonical(Tree(R"(
        <Condition operator="AND"><ConditionValues Columnn="When" Value="a" Comparator="&gt;"/></Condition>)")));
}

// A copy of the default sorting only where the request has none (even an empty one counts);
// the template name always, over any value.
TEST(SortingAndTemplateProcessors, DefaultsOnlyWhereTheRequestHasNoneTheTemplateAlways)
{
    const QxNodePtr config = Tree(R"(<SortingProcessor>
        <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot></SortingProcessor>)");
    SortingProcessor processor(config);
    config.FindByPath("SortingRoot").GetChild(0).SetAttribute("Order", "ASC");  // later changes do not leak in
    const QxNodePtr first = Tree(R"(<Query q:name="A"/>)");
    const QxNodePtr second = Tree(R"(<Query q:name="B"/>)");
    processor.ProcessFilters(first);
    processor.ProcessFilters(second);
    first.FindByPath("SortingRoot").GetChild(0).SetAttribute("Column", "Who");
    EXPECT_EQ(Canonical(second), Canonical(Tree(R"(
        <Query q:name="B"><SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot></Query>)")));
    for (const char* text :
         {R"(<Query><SortingRoot q:name="SortingRoot"/></Query>)",
          R"(<Query><SortingRoot q:name="SortingRoot"><SortingEntry Column="Who"/></SortingRoot></Query>)"}) {
        const QxNodePtr filter = Tree(text);
        processor.ProcessFilters(filter);
        EXPECT_EQ(Canonical(filter), Canonical(Tree(text)));
    }

    const QxNodePtr filter = Tree(R"(<Query Query_Template_Name="Old"/>)");
    QueryTemplateProcessor(Tree(R"(<QueryTemplateProcessor QueryTemplateName="OverviewCounters"/>)")).ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(<Query Query_Template_Name="OverviewCounters"/>)")));
}

}  // namespace
}  // namespace cvn::test
