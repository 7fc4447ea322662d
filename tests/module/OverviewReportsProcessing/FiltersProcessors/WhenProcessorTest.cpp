// The When processor and the time range conversion: conditions on "When" ahead of the
// filter's own, the time zone offset handed on, and half-open ranges refused.
#include "module/OverviewReportsProcessing/FiltersProcessors/WhenProcessor.h"

#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::WhenProcessor;

TEST(WhenProcessor, TheRangeBecomesTheFirstAndTermWithItsTextsUnchanged)
{
    const QxNodePtr filter = Tree(R"(
        <Query q:name="Sub" TimeZoneOffsetSec:i32="-3600">
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND"><ConditionValues Columnn="Who" Value="alice" Comparator="="/></Condition>
          </ConditionsRoot>
          <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="not even a time"/>
        </Query>)");
    WhenProcessor(nullptr).ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query q:name="Sub" TimeZoneOffsetSec:i32="-3600" DateTimeOffset:i32="-3600" DateTimePart="second">
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
        </Query>)")));
}

TEST(WhenProcessor, WithoutRangeOrOffsetOnlyTheOffsetIsWrittenAsZero)
{
    const QxNodePtr filter = Tree(
        R"(<Query q:name="Sub"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></Query>)");
    WhenProcessor(Tree("<Config/>")).ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(
        <Query q:name="Sub" DateTimeOffset:i32="0" DateTimePart="second">
          <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
        </Query>)")));
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
}

TEST(ConvertTimeRangeToWhenCondition, NullGivesNullAndAddWhenConditionSkipsAnAbsentBound)
{
    EXPECT_FALSE(FilterHelper::ConvertTimeRangeToWhenCondition(nullptr));
    const QxNodePtr target = FilterHelper::NewCondition("AND");
    FilterHelper::AddWhenCondition(target, Tree(R"(<node TimeFrom="a"/>)"), "TimeTill", "<");
    FilterHelper::AddWhenCondition(target, Tree(R"(<node TimeFrom="a"/>)"), "TimeFrom", ">");
    EXPECT_EQ(Canonical(target), Canonical(Tree(R"(
        <Condition operator="AND"><ConditionValues Columnn="When" Value="a" Comparator="&gt;"/></Condition>)")));
}

}  // namespace
}  // namespace cvn::test
