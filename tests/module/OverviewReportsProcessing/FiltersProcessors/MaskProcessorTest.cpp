// The mask and preset condition processors: the group mask and preset id conditions
// added in front of the filter's own, and the failures of unserved columns and presets.
#include "module/OverviewReportsProcessing/FiltersProcessors/MaskProcessor.h"

#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/FiltersProcessors/PresetConditionProcessor.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::MaskProcessor;
using OverviewReportsProcessing::PresetConditionProcessor;

class MaskAndPresetProcessors : public testing::Test {
protected:
    ScopedMetricsConfiguration m_metrics{kMetricsConfiguration};
};

TEST_F(MaskAndPresetProcessors, MaskIsTheServingGroupsPlusManagedObjectUId)
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
}

TEST_F(MaskAndPresetProcessors, AFilterOnlyOnWhenGetsTheSmallestGroup)
{
    const QxNodePtr filter = Tree(
        R"(<Query><ConditionsRoot q:name="Conditions"><ConditionValues Columnn="When" Value="t" Comparator="&gt;="/></ConditionsRoot></Query>)");
    MaskProcessor(nullptr).ProcessFilters(filter);
    EXPECT_EQ(filter.FindByPath("Conditions").GetChild(0).GetChild(0).GetRequiredAttribute<int32_t>("Value"), 0xD);
}

TEST_F(MaskAndPresetProcessors, ColumnsNoGroupServesFailWithTheFilterUnchanged)
{
    const QxNodePtr filter = Tree(
        R"(<Query><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="DataSource"/></GroupByRoot></Query>)");
    const std::string before = Canonical(filter);
    LogCapture log;
    EXPECT_EQ(CodeOf([&] { MaskProcessor(nullptr).ProcessFilters(filter); }), kHrNotFound);
    EXPECT_EQ(log.Count("Full mask not found: 2048"), 1u);
    EXPECT_EQ(Canonical(filter), before);
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

}  // namespace
}  // namespace cvn::test
