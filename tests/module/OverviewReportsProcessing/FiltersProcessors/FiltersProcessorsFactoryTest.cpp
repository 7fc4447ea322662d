// Chains built from a method's configuration: the processor table by name, and the
// two methods' chains as the host ships them, run on a sub-request's Query; trees nested
// past the walks' depth limit, refused by every walk and so by each chain.
#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactory.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/ErrorHandling/HRX.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/ProductIdRemaper.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace OverviewReportsProcessing;

class FiltersProcessorsFactoryTest : public testing::Test {
protected:
    static std::string Trail(const ProcessorsChain& chain)
    {
        const QxNodePtr filters = Tree("<Query/>");
        RunProcessorsChain(chain, filters);
        return filters.GetAttributeOr("Trail", "");
    }

    ScopedTagProcessor m_tagProcessor;
};

TEST_F(FiltersProcessorsFactoryTest, AChainHasOneObjectPerNameInOrderWithTheMethodsOrTheDefaultConfiguration)
{
    const QxNodePtr defaults = Tree(R"(<node><node q:name="TagProcessor" Tag="d"/></node>)");
    const QxNodePtr own = Tree(R"(<node Processors:strs="TagProcessor|TagProcessor"><node q:name="TagProcessor" Tag="m"/></node>)");
    const ProcessorsChain chain = BuildProcessorsChain(own, defaults);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_NE(chain[0], chain[1]);
    EXPECT_EQ(Trail(chain), "mm");
    EXPECT_EQ(Trail(BuildProcessorsChain(Tree(R"(<node Processors:strs="TagProcessor"/>)"), defaults)), "d");
    EXPECT_EQ(Trail(BuildProcessorsChain(Tree(R"(<node Processors:strs="TagProcessor"/>)"), Tree("<node/>"))), "-");
    EXPECT_TRUE(BuildProcessorsChain(Tree(R"(<node Processors:strs=""/>)"), defaults).empty());

    // Both of a kind ran: the second wraps the first's range condition once more.
    const ProcessorsChain twice = BuildProcessorsChain(Tree(R"(<node Processors:strs="WhenProcessor|WhenProcessor"/>)"), nullptr);
    const QxNodePtr filter = Tree(R"(<Query><node q:name="TimeRange" TimeFrom="a" TimeTill="b"/></Query>)");
    RunProcessorsChain(twice, filter);
    EXPECT_EQ(filter.FindByPath("Conditions").GetChild(0).GetChild(1).GetChild(0).GetChildCount(), 2u);
}

// Each kind refuses a configuration (or none) without the settings it needs; unknown names and
// missing lists fail the whole chain.
TEST_F(FiltersProcessorsFactoryTest, BadConfigurationsFailTheWholeChain)
{
    const std::pair<const char*, const char*> cases[] = {
        {"LiveMonitoringPlansProcessor", "<D/>"},
        {"LiveMonitoringPlansProcessor", R"(<D><C q:name="LiveMonitoringPlansProcessor" Path="x"/></D>)"},
        {"MonitoringPlanNameProcessor", R"(<D><C q:name="MonitoringPlanNameProcessor"/></D>)"},
        {"SortingProcessor", "<D/>"},
        // Found by name: a SortingRoot-typed child under another name does not count.
        {"SortingProcessor", R"(<D><C q:name="SortingProcessor"><SortingRoot q:name="Other"/></C></D>)"},
        {"QueryTemplateProcessor", "<D/>"},
        {"QueryTemplateProcessor", R"(<D><C q:name="QueryTemplateProcessor" Name="x"/></D>)"},
        {"AliasProcessor", R"(<D><C q:name="AliasProcessor"><Alias ColumnName="When"/></C></D>)"},
        {"AliasProcessor", R"(<D><C q:name="AliasProcessor"><Alias ColumnAlias="x"/></C></D>)"},
    };
    LogCapture log;
    for (const auto& [kind, defaults] : cases) {
        const QxNodePtr method = QxNodePtr::Create("M");
        method.SetAttribute("Processors", std::vector<std::string>{kind});
        EXPECT_EQ(CodeOf([&] { BuildProcessorsChain(method, Tree(defaults)); }), kHrNotFound) << defaults;
    }
    EXPECT_EQ(log.Count("QueryTemplateName is missing"), 2u);

    EXPECT_EQ(CodeOf([] { BuildProcessorsChain(Tree(R"(<node Processors:strs="MaskProcessor|whenProcessor"/>)"), nullptr); }),
              kHrInvalidData);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MakeProcessor failed: Filter Processor not found: whenProcessor"), 1u);
    EXPECT_EQ(CodeOf([] { BuildProcessorsChain(Tree("<node/>"), nullptr); }), kHrNotFound);
    EXPECT_EQ(CodeOf([] { RegisterProcessorForTests("", BuildActivator<TagProcessor>()); }), E_INVALIDARG);
}

// The fast method on a sub-request grouped by "Who". Conditions from the outside in: live plans,
// the When range, the group mask (Who's group 0xD), the default preset's id, the request's own.
// Every leaf carries its table column with the logical name in "AliasColumn", the default sorting included.
constexpr std::string_view kByUser = R"(
<Query q:name="ByUser" TimeZoneOffsetSec:i32="7200">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND"><ConditionValues Columnn="Who" Value="alice" Comparator="="/></Condition>
  </ConditionsRoot>
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-11-01T00:00:00Z" TimeTill="2026-12-01T00:00:00Z"/>
</Query>)";

constexpr std::string_view kExpectedByUser = R"(
<Query q:name="ByUser" TimeZoneOffsetSec:i32="7200" DateTimeOffset:i32="7200" DateTimePart="second"
    Query_Template_Name="OverviewCountersFast">
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="c.G2" AliasColumn="Who"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-11-01T00:00:00Z" TimeTill="2026-12-01T00:00:00Z"/>
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND">
      <Condition operator="IN">
        <ConditionValues Columnn="c.G1" AliasColumn="ManagedObjectUId"
            Values:guids="{00000001-0000-0000-0000-000000000000}|{00000002-0000-0000-0000-000000000000}|{17D9ED53-091A-4A87-835F-5A486882436F}"/>
      </Condition>
      <Condition operator="AND">
        <Condition operator="AND">
          <ConditionValues Columnn="c.Ts" AliasColumn="When" Value="2026-11-01T00:00:00Z" Comparator="&gt;="/>
          <ConditionValues Columnn="c.Ts" AliasColumn="When" Value="2026-12-01T00:00:00Z" Comparator="&lt;"/>
        </Condition>
        <Condition operator="AND">
          <ConditionValues Columnn="c.GroupMask" AliasColumn="Mask" Value:i32="13" Comparator="="/>
          <Condition operator="AND">
            <ConditionValues Columnn="c.PresetId" AliasColumn="ConditionId" Value:i64="1" Comparator="="/>
            <Condition operator="AND"><ConditionValues Columnn="c.G2" AliasColumn="Who" Value="alice" Comparator="="/></Condition>
          </Condition>
        </Condition>
      </Condition>
    </Condition>
  </ConditionsRoot>
  <SortingRoot q:name="SortingRoot"><SortingEntry Column="c.Cnt" AliasColumn="Count" Order="DESC"/></SortingRoot>
</Query>)";

// The standard method on plans p1 ("Alpha") and p3 (no name). Conditions from the outside in:
// live plans (named ones by name, the always-live id by id), the When range, the request's own
// (its plan list split into names and ids); grouping on the id stays.
constexpr std::string_view kByPlan = R"(
<Query q:name="ByPlan" TimeZoneOffsetSec:i32="-3600">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND">
      <Condition operator="IN"><ConditionValues Columnn="ManagedObjectUId"
          Values:guids="{00000001-0000-0000-0000-000000000000}|{00000003-0000-0000-0000-000000000000}"/></Condition>
    </Condition>
  </ConditionsRoot>
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ManagedObjectUId"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-11-01T00:00:00Z" TimeTill="2026-12-01T00:00:00Z"/>
</Query>)";

constexpr std::string_view kExpectedByPlan = R"(
<Query q:name="ByPlan" TimeZoneOffsetSec:i32="-3600" DateTimeOffset:i32="-3600" DateTimePart="second"
    Query_Template_Name="OverviewCountersStandard">
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ManagedObjectUId"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-11-01T00:00:00Z" TimeTill="2026-12-01T00:00:00Z"/>
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND">
      <Condition operator="AND">
        <Condition operator="AND">
          <ConditionValues Columnn="When" Value="2026-11-01T00:00:00Z" Comparator="&gt;="/>
          <ConditionValues Columnn="When" Value="2026-12-01T00:00:00Z" Comparator="&lt;"/>
        </Condition>
        <Condition operator="AND">
          <Condition operator="OR">
            <Condition operator="IN"><ConditionValues Columnn="ManagedObject" Values:strs="Alpha"/></Condition>
            <Condition operator="IN">
              <ConditionValues Columnn="ManagedObjectUId" Values:guids="{00000003-0000-0000-0000-000000000000}"/>
            </Condition>
          </Condition>
        </Condition>
      </Condition>
      <Condition operator="OR">
        <Condition operator="IN"><ConditionValues Columnn="ManagedObject" Values:strs="Alpha|Beta"/></Condition>
        <Condition operator="IN">
          <ConditionValues Columnn="ManagedObjectUId" Values:guids="{17D9ED53-091A-4A87-835F-5A486882436F}"/>
        </Condition>
      </Condition>
    </Condition>
  </ConditionsRoot>
  <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot>
</Query>)";

// Each chain gives the exact Query of its method once the plans list arrived; and no processor
// of either chain crashes on a null filter.
TEST(ShippedMethodChains, ASubRequestBecomesTheQueryOfItsMethod)
{
    ScopedMetricsConfiguration metrics{kPlanMetricsConfiguration};
    ScopedConfigServer config;
    const struct {
        const char* method;
        size_t length;
        std::string_view input, expected;
    } cases[] = {{"Fast", 7, kByUser, kExpectedByUser}, {"Standard", 5, kByPlan, kExpectedByPlan}};
    for (const auto& [method, length, input, expected] : cases) {
        SCOPED_TRACE(method);
        const QxNodePtr configuration = Tree(kFactoryConfiguration);
        const ProcessorsChain chain = BuildProcessorsChain(
            configuration.FindByPath(std::string("RetrieveMethods\\") + method), configuration.GetChild("DefaultProcessorsConfig"));
        EXPECT_EQ(chain.size(), length);
        const auto run = [&] {
            const QxNodePtr query = Tree(input);
            RunProcessorsChain(chain, query);
            return query;
        };
        run();  // subscribes
        ASSERT_EQ(config.SendPlans(kTwoNamedPlans), S_OK);
        EXPECT_EQ(Canonical(run()), Canonical(Tree(expected)));
        for (const auto& processor : chain) {
            EXPECT_NE(CodeOf([&] { processor->ProcessFilters(nullptr); }), S_OK);
            processor->Shutdown();
        }
    }
}


// A ConditionsRoot whose leaf (on column) lies under `levels` nested AND conditions. Built from the
// leaf up through the node API, which costs nothing per level of depth (the text parser has a
// depth limit of its own).
QxNodePtr NestedConditions(size_t levels, std::string_view column)
{
    QxNodePtr inner = QxNodePtr::Create({}, "ConditionValues");
    inner.SetAttribute("Columnn", column);
    inner.SetAttribute("Value", "x");
    inner.SetAttribute("Comparator", "=");
    for (size_t level = 0; level < levels; ++level) {
        QxNodePtr outer = FilterHelper::NewCondition("AND");
        outer.AddChild(inner);
        inner = std::move(outer);
    }
    const QxNodePtr root = QxNodePtr::Create("Conditions", "ConditionsRoot");
    root.AddChild(inner);
    return root;
}

// Every walk over a request, a query or a result refuses a tree nested past the limit with
// 0x8007000D naming it, rather than running out of stack; each shipped chain fails with it in
// the processor that walks. Down to the limit a walk goes on.
TEST(DeepTrees, EveryWalkRefusesATreeNestedPastTheLimit)
{
    ScopedMetricsConfiguration metrics{kPlanMetricsConfiguration};
    ScopedConfigServer config;
    const QxNodePtr configuration = Tree(kFactoryConfiguration);
    const auto chainOf = [&](const char* method) {
        return BuildProcessorsChain(configuration.FindByPath(std::string("RetrieveMethods\\") + method),
                                    configuration.GetChild("DefaultProcessorsConfig"));
    };
    const ProcessorsChain fast = chainOf("Fast");
    const ProcessorsChain standard = chainOf("Standard");
    RunProcessorsChain(standard, Tree("<Query/>"));  // subscribes, so that plan names are known
    ASSERT_EQ(config.SendPlans(kTwoNamedPlans), S_OK);
    const ProductIdRemaper remapper{Tree(
        R"(<node><DataSource DataSource:guid="{11111111-2222-3333-4444-555555555555}" ProductIds:strs="P1"/></node>)")};

    const struct {
        const char* walk;
        const char* column;  // of the deepest leaf, what the walk looks for
        std::function<void(const QxNodePtr&)> run;
    } walks[] = {
        {"mask", "Who", [](const QxNodePtr& tree) { FilterHelper::MakeTotalFiltersMask(tree); }},
        {"presets", "ConditionId", [](const QxNodePtr& tree) { FilterHelper::ExpandPresetConditions(tree); }},
        {"fast chain", "Who", [&](const QxNodePtr& tree) { RunProcessorsChain(fast, tree); }},
        {"standard chain", "ManagedObjectUId", [&](const QxNodePtr& tree) { RunProcessorsChain(standard, tree); }},
        {"data sources", "DataSource", [&](const QxNodePtr& tree) { remapper.ReplaceDataSourceFilters(tree); }},
        {"results", "ProductId", [&](const QxNodePtr& tree) { remapper.ReplaceProductIdByDataSource(tree); }},
    };
    const auto thrown = [](const std::function<void()>& body) -> std::string {
        try {
            body();
        } catch (const HRX& error) {
            return ErrorText(error);
        }
        return "nothing";
    };
    for (const size_t levels : {size_t{30000}, size_t{100000}}) {
        for (const auto& [walk, column, run] : walks) {
            const QxNodePtr tree = Tree(R"(<Query q:name="Deep"><node q:name="TimeRange" TimeFrom="a" TimeTill="b"/></Query>)");
            tree.AddChild(NestedConditions(levels, column));
            EXPECT_EQ(thrown([&] { run(tree); }).rfind("0x8007000D The tree is nested deeper than the limit of 1000 levels", 0),
                      0u)
                << walk << ", " << levels << " levels";
        }
    }
    // The query's leaf lies two levels below the nested conditions.
    const auto mask = [](size_t levels) {
        const QxNodePtr query = Tree("<Query/>");
        query.AddChild(NestedConditions(levels, "Who"));
        return CodeOf([&] { FilterHelper::MakeTotalFiltersMask(query); });
    };
    EXPECT_EQ(mask(FilterHelper::kMaxTreeDepth - 2), S_OK);
    EXPECT_EQ(mask(FilterHelper::kMaxTreeDepth - 1), kHrInvalidData);
}

}  // namespace
}  // namespace cvn::test
