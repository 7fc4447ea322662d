// The filter helpers: column attributes, traversal and the total mask, rewriting
// conditions, expanding presets, and building one sub-request's query.
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

#include <gtest/gtest.h>

#include <set>

#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

QxNodePtr Leaf(std::string_view column, std::string_view value)
{
    return Tree("<ConditionValues Columnn=\"" + std::string(column) + "\" Value=\"" + std::string(value) +
                "\" Comparator=\"=\"/>");
}

TEST(FilterColumns, EachLeafTypeHasItsColumnAttributeAndOtherNodesFail)
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

    // The condition leaf's attribute has two n: "Column" on it is no column.
    EXPECT_EQ(CodeOf([&] { FilterHelper::GetColumnName(Tree(R"(<ConditionValues Column="Who"/>)")); }), kHrNotFound);
    const QxNodePtr group = Tree(R"(<Condition operator="AND"/>)");
    EXPECT_EQ(CodeOf([&] { FilterHelper::SetColumnName(group, "Who"); }), kHrInvalidData);
    EXPECT_EQ(Canonical(group), Canonical(Tree(R"(<Condition operator="AND"/>)")));
}

TEST(FilterColumns, TraversalVisitsLeavesAtAnyDepthInOrderWithoutEnteringThem)
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

    visited.clear();
    FilterHelper::TraverseCondition(filter.GetChild("d"), [&](const QxNodePtr& node) { visited += node.GetName(); });
    EXPECT_EQ(visited, "");  // the start node is never passed
}

// Real columns of conditions, grouping and sorting count; pseudo columns do not; anything else
// sets the unknown bit.
TEST(FilterColumns, TheTotalMaskOfAFilter)
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

// A filter without conditions gets its root; each call nests the conditions before it one level deeper.
TEST(ConditionRewrite, AddNewConditionPutsTheNewTermFirstInAnAndGroup)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"(<Query><node q:name="TimeRange" TimeFrom="a" TimeTill="b"/></Query>)",
         R"(<Query>
              <node q:name="TimeRange" TimeFrom="a" TimeTill="b"/>
              <ConditionsRoot q:name="Conditions">
                <Condition operator="AND">
                  <ConditionValues Columnn="ConditionId" Value="1" Comparator="="/>
                  <Condition operator="AND"><ConditionValues Columnn="Mask" Value="13" Comparator="="/></Condition>
                </Condition>
              </ConditionsRoot>
            </Query>)"},
        {R"(<RetrieveCountersRequest q:name="R">
              <ConditionsRoot q:name="Conditions">
                <ConditionValues Columnn="Who" Value="alice" Comparator="="/>
                <Condition operator="OR"><ConditionValues Columnn="Where" Value="srv" Comparator="="/></Condition>
              </ConditionsRoot>
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
            </RetrieveCountersRequest>)",
         R"(<RetrieveCountersRequest q:name="R">
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
            </RetrieveCountersRequest>)"},
    };
    for (const auto& [input, expected] : cases) {
        const QxNodePtr filter = Tree(input);
        FilterHelper::AddNewCondition(Leaf("Mask", "13"), filter);
        FilterHelper::AddNewCondition(Leaf("ConditionId", "1"), filter);
        EXPECT_EQ(Canonical(filter), Canonical(Tree(expected))) << input;
    }
}

TEST(ConditionRewrite, ALeafUnderAListIsReplacedWithItsListALeafUnderAGroupAlone)
{
    const QxNodePtr filter = Tree(R"(
        <Query>
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <Condition operator="NOT IN"><ConditionValues q:name="list" Columnn="Who" Values:strs="a|b"/></Condition>
              <ConditionValues q:name="single" Columnn="Where" Value="srv" Comparator="="/>
              <ConditionValues q:name="last" Columnn="What" Value="x" Comparator="="/>
            </Condition>
          </ConditionsRoot>
        </Query>)");
    const QxNodePtr group = filter.GetChild(0).GetChild(0);
    FilterHelper::ReplaceConditionValue(group.GetChild(0).GetChild(0), Tree(R"(<Condition q:name="new" operator="IN"/>)"));
    FilterHelper::ReplaceConditionValue(group.GetChild("single"), Leaf("Where", "other"));
    ASSERT_EQ(group.GetChildCount(), 3u);  // each replacement goes last
    EXPECT_EQ(group.GetChild(0).GetName() + " " + group.GetChild(1).GetName(), "last new");
    EXPECT_EQ(group.GetChild(2).GetRequiredAttribute<std::string>("Value"), "other");

    // A parent without operator, or none at all: nothing changes.
    group.DeleteAttribute("operator");
    const std::string before = Canonical(filter);
    EXPECT_EQ(CodeOf([&] { FilterHelper::ReplaceConditionValue(group.GetChild("last"), Leaf("Who", "x")); }), kHrNotFound);
    EXPECT_EQ(Canonical(filter), before);
    EXPECT_EQ(CodeOf([&] { FilterHelper::ReplaceConditionValue(Leaf("Who", "x"), Leaf("Who", "y")); }), kHrNotFound);
}

TEST(ConditionRewrite, ReplaceByPathPutsTheReplacementItselfLastOrFailsChangingNothing)
{
    const QxNodePtr root = Tree(R"(
        <RetrieveCountersRequest q:name="Request">
          <ConditionsRoot q:name="Conditions">
            <ConditionValues q:name="Who" Columnn="Who" Value="alice"/>
            <ConditionValues q:name="Where" Columnn="Where" Value="srv"/>
          </ConditionsRoot>
        </RetrieveCountersRequest>)");
    LogCapture log;
    const std::string before = Canonical(root);
    EXPECT_EQ(CodeOf([&] { FilterHelper::Replace(Tree(R"(<ConditionValues Columnn="Who"/>)"), root); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { FilterHelper::Replace(Tree(R"(<node Path="Conditions\Nope"/>)"), root); }), kHrNotFound);
    EXPECT_EQ(log.Count("FilterHelper::Replace failed: Node for replacement not found: Conditions\\Nope"), 1u);
    EXPECT_EQ(CodeOf([&] { FilterHelper::Replace(Tree(R"(<node Path="\Request"/>)"), root); }), kHrInvalidData);
    EXPECT_EQ(Canonical(root), before);

    FilterHelper::Replace(Tree(R"(<ConditionValues q:name="Who" Path="\Request\Conditions\Who" Columnn="Who" Value="bob"/>)"),
                          root);
    FilterHelper::Replace(Tree(R"(<node q:name="W" Path="Conditions\Where"><Condition operator="OR"/></node>)"), root);
    EXPECT_EQ(Canonical(root), Canonical(Tree(R"(
        <RetrieveCountersRequest q:name="Request">
          <ConditionsRoot q:name="Conditions">
            <ConditionValues q:name="Who" Path="\Request\Conditions\Who" Columnn="Who" Value="bob"/>
            <node q:name="W" Path="Conditions\Where"><Condition operator="OR"/></node>
          </ConditionsRoot>
        </RetrieveCountersRequest>)")));
}

TEST(PresetConditions, ReferencesAreFoundInOrderAndExpandedIntoThePresetMarkingTheEnclosingRequest)
{
    ScopedMetricsConfiguration metrics{kMetricsConfiguration};
    const QxNodePtr request = Tree(R"(
        <RetrieveCountersRequest q:name="R">
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues q:name="a" Columnn="ConditionId" Value="Failed"/>
              <ConditionValues Columnn="Who" Value="x"/>
            </Condition>
          </ConditionsRoot>
          <RetrieveCountersSubRequest q:name="S">
            <ConditionsMerge><ConditionValues q:name="b" Columnn="ConditionId" Value="DefaultPreset"/></ConditionsMerge>
          </RetrieveCountersSubRequest>
        </RetrieveCountersRequest>)");
    std::string names;  // the references, in traversal order
    for (const QxNodePtr& leaf : FilterHelper::GetPresetConditions(request)) names += leaf.GetName();
    EXPECT_EQ(names, "ab");
    EXPECT_TRUE(FilterHelper::GetPresetConditions(Tree("<Query/>")).empty());

    FilterHelper::ExpandPresetConditions(request);
    EXPECT_EQ(Canonical(request), Canonical(Tree(R"(
        <RetrieveCountersRequest q:name="R" PresetConditionName="Failed">
          <ConditionsRoot q:name="Conditions">
            <Condition operator="AND">
              <ConditionValues Columnn="Who" Value="x"/>
              <Condition q:name="Failed" operator="AND" PresetConditionId:i64="2">
                <ConditionValues Columnn="Status" Comparator="=" Value="Failed"/>
              </Condition>
            </Condition>
          </ConditionsRoot>
          <RetrieveCountersSubRequest q:name="S" PresetConditionName="DefaultPreset">
            <ConditionsMerge><Condition q:name="DefaultPreset" operator="AND" PresetConditionId:i64="1"/></ConditionsMerge>
          </RetrieveCountersSubRequest>
        </RetrieveCountersRequest>)")));
    // The stored preset is copied, not moved.
    EXPECT_EQ(OverviewReportsProcessing::MaskHelper::Instance().GetPresetCondition("Failed").GetChildCount(), 1u);

    // A bad reference after a good one: the request stays unchanged.
    LogCapture log;
    for (const char* bad : {R"(Value="Nope")", ""}) {
        const QxNodePtr failing = Tree(std::string(R"(<RetrieveCountersRequest><ConditionsRoot q:name="Conditions">
            <ConditionValues Columnn="ConditionId" Value="Failed"/><ConditionValues Columnn="ConditionId" )") +
                                       bad + "/></ConditionsRoot></RetrieveCountersRequest>");
        const std::string before = Canonical(failing);
        EXPECT_EQ(CodeOf([&] { FilterHelper::ExpandPresetConditions(failing); }), kHrNotFound) << bad;
        EXPECT_EQ(Canonical(failing), before);
    }
    EXPECT_EQ(log.Count("Invalid preset condition name: Nope"), 1u);
}

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

// Without sections of its own, or with empty ones, a sub-request takes the request's.
TEST(MakeSubRequestFilters, ASubRequestWithoutOrWithEmptySectionsTakesTheRequestsOwn)
{
    for (const char* name : {"Plain", "EmptySections"}) {
        const QxNodePtr query = FilterHelper::MakeSubRequestFilters(Tree(kRequest), name);
        MaskGuidNames(query);
        EXPECT_EQ(Canonical(query), Canonical(Tree("<Query q:name=\"" + std::string(name) + R"(" RetrieveMethod:i32="1" TimeZoneOffsetSec:i32="3600">
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
    }
    // Sections without content are left out; attributes keep their types, the sub-request's win.
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
    for (const char* name : {"Unknown", "NoPath", "BadPath"})
        EXPECT_EQ(CodeOf([&] { FilterHelper::MakeSubRequestFilters(request, name); }), kHrNotFound) << name;
    EXPECT_EQ(log.Count("FilterHelper::Replace failed: Node for replacement not found: \\Request\\Conditions\\Missing"),
              1u);
    EXPECT_EQ(Canonical(request), before);
}

}  // namespace
}  // namespace cvn::test
