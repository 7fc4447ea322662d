// Building one sub-request's query: replacements, the three section merges,
// fresh names for merged nodes, the request's time range and attributes.
#include <gtest/gtest.h>

#include <set>

#include "tests/support/OverviewTestSupport.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

namespace cvn::test {
namespace {

constexpr std::string_view kRequest = R"(
<RetrieveCountersRequest q:name="Request" RetrieveMethod:i32="1" TimeZoneOffsetSec:i32="3600">
  <ConditionsRoot q:name="Conditions">
    <ConditionValues q:name="Where" Columnn="Where" Comparator="=" Value="srv1"/>
    <Condition operator="IN"><ConditionValues Columnn="Who" Values:strs="alice|bob"/></Condition>
  </ConditionsRoot>
  <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot>
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="2026-02-01T00:00:00Z"/>
  <RetrieveCountersSubRequest q:name="ByAction" RetrieveMethod:i32="2" Label="actions">
    <ConditionsMerge><ConditionValues Columnn="What_Action" Comparator="=" Value="Removed"/></ConditionsMerge>
    <GroupByMerge><GroupByRootEntry Column="What_Action"/></GroupByMerge>
    <SortingRoot q:name="SortingRoot"><SortingEntry Column="What_Action"/></SortingRoot>
    <node q:name="Replacement">
      <ConditionValues q:name="Where" Path="\Request\Conditions\Where" Columnn="Where" Comparator="=" Value="srv2"/>
    </node>
    <node q:name="TimeRange" TimeFrom="2025-01-01T00:00:00Z" TimeTill="2025-02-01T00:00:00Z"/>
  </RetrieveCountersSubRequest>
  <RetrieveCountersSubRequest q:name="Plain"/>
  <RetrieveCountersSubRequest q:name="EmptySections">
    <SortingRoot q:name="SortingRoot"/>
    <GroupByRoot q:name="GroupByRoot"/>
  </RetrieveCountersSubRequest>
</RetrieveCountersRequest>)";

TEST(MakeSubRequestFilters, MergesAndReplacementsGiveTheQueryWithFreshNamesOnEveryCall)
{
    const QxNodePtr request = Tree(kRequest);
    const std::string requestBefore = Canonical(request);

    const QxNodePtr query = FilterHelper::MakeSubRequestFilters(request, "ByAction");
    const std::vector<std::string> names = MaskGuidNames(query);
    EXPECT_EQ(Canonical(query), Canonical(Tree(R"(
<Query q:name="ByAction" RetrieveMethod:i32="2" TimeZoneOffsetSec:i32="3600" Label="actions">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND">
      <ConditionValues q:name="{GUID}" Columnn="What_Action" Comparator="=" Value="Removed"/>
      <Condition q:name="{GUID}" operator="IN"><ConditionValues Columnn="Who" Values:strs="alice|bob"/></Condition>
      <ConditionValues q:name="{GUID}" Path="\Request\Conditions\Where" Columnn="Where" Comparator="=" Value="srv2"/>
    </Condition>
  </ConditionsRoot>
  <SortingRoot q:name="SortingRoot"><SortingEntry q:name="{GUID}" Column="What_Action"/></SortingRoot>
  <GroupByRoot q:name="GroupByRoot">
    <GroupByRootEntry q:name="{GUID}" Column="What_Action"/>
    <GroupByRootEntry q:name="{GUID}" Column="Who"/>
  </GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="2026-02-01T00:00:00Z"/>
</Query>)")));
    EXPECT_EQ(names.size(), 6u);
    EXPECT_EQ(Canonical(request), requestBefore);
    // Merged nodes get fresh random (version 4) names on every call.
    std::set<std::string> seen(names.begin(), names.end());
    for (const std::string& name : MaskGuidNames(FilterHelper::MakeSubRequestFilters(request, "ByAction"))) {
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 12u);
    for (const std::string& name : seen) {
        EXPECT_EQ(name[15], '4') << name;
        EXPECT_NE(std::string("89AB").find(name[20]), std::string::npos) << name;
    }
}

TEST(MakeSubRequestFilters, ASubRequestWithoutOrWithEmptySectionsTakesTheRequestsOwn)
{
    const QxNodePtr query = FilterHelper::MakeSubRequestFilters(Tree(kRequest), "Plain");
    MaskGuidNames(query);
    EXPECT_EQ(Canonical(query), Canonical(Tree(R"(
<Query q:name="Plain" RetrieveMethod:i32="1" TimeZoneOffsetSec:i32="3600">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND">
      <ConditionValues q:name="{GUID}" Columnn="Where" Comparator="=" Value="srv1"/>
      <Condition q:name="{GUID}" operator="IN"><ConditionValues Columnn="Who" Values:strs="alice|bob"/></Condition>
    </Condition>
  </ConditionsRoot>
  <SortingRoot q:name="SortingRoot"><SortingEntry q:name="{GUID}" Column="Count" Order="DESC"/></SortingRoot>
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry q:name="{GUID}" Column="Who"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="2026-02-01T00:00:00Z"/>
</Query>)")));
    // Empty sections of its own inherit the request's entries just the same.
    const QxNodePtr empty = FilterHelper::MakeSubRequestFilters(Tree(kRequest), "EmptySections");
    ASSERT_TRUE(empty.GetChild("SortingRoot", false));
    EXPECT_EQ(empty.GetChild("SortingRoot").GetChild(0).GetRequiredAttribute<std::string>("Column"), "Count");
    EXPECT_EQ(empty.GetChild("GroupByRoot").GetChild(0).GetRequiredAttribute<std::string>("Column"), "Who");
}

TEST(MakeSubRequestFilters, SectionsWithoutContentAreLeftOutAndAttributesKeepTheirTypes)
{
    const QxNodePtr query = FilterHelper::MakeSubRequestFilters(Tree(R"(
        <RetrieveCountersRequest q:name="R" Tags:strs="" Flag:bool="true" Id:guid="{11111111-2222-3333-4444-555555555555}">
          <ConditionsRoot q:name="Conditions"/>
          <RetrieveCountersSubRequest q:name="S" Flag:bool="false"><GroupByMerge><GroupByRootEntry Column="Who"/></GroupByMerge></RetrieveCountersSubRequest>
        </RetrieveCountersRequest>)"),
                                                                "S");
    MaskGuidNames(query);
    EXPECT_EQ(Canonical(query), Canonical(Tree(R"(
        <Query q:name="S" Tags:strs="" Flag:bool="false" Id:guid="{11111111-2222-3333-4444-555555555555}"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry q:name="{GUID}" Column="Who"/></GroupByRoot></Query>)")));
}

TEST(MakeSubRequestFilters, BadSubRequestsFailAndLeaveTheRequestUnchanged)
{
    const QxNodePtr request = Tree(R"(
        <RetrieveCountersRequest q:name="Request">
          <ConditionsRoot q:name="Conditions"><ConditionValues q:name="Who" Columnn="Who" Value="a"/></ConditionsRoot>
          <RetrieveCountersSubRequest q:name="NoPath">
            <node q:name="Replacement"><ConditionValues Columnn="Who" Value="b"/></node>
          </RetrieveCountersSubRequest>
          <RetrieveCountersSubRequest q:name="BadPath">
            <node q:name="Replacement">
              <ConditionValues q:name="Who" Path="\Request\Conditions\Who" Columnn="Who" Value="b"/>
              <ConditionValues Path="\Request\Conditions\Missing" Columnn="Who" Value="c"/>
            </node>
          </RetrieveCountersSubRequest>
        </RetrieveCountersRequest>)");
    const std::string before = Canonical(request);
    LogCapture log;
    EXPECT_EQ(CodeOf([&] { FilterHelper::MakeSubRequestFilters(request, "Unknown"); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { FilterHelper::MakeSubRequestFilters(request, "NoPath"); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { FilterHelper::MakeSubRequestFilters(request, "BadPath"); }), kHrNotFound);
    EXPECT_EQ(log.Count("FilterHelper::Replace failed: Node for replacement not found: \\Request\\Conditions\\Missing"),
              1u);
    EXPECT_EQ(Canonical(request), before);
}

}  // namespace
}  // namespace cvn::test
