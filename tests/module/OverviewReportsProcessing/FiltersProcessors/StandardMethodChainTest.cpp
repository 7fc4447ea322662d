// The standard method's chain as the host ships it (When, live plans, plan names, sorting,
// template), built from the factory configuration and run on a sub-request's Query: the
// exact Query the queries processor gets; and no processor of either chain crashes on a null filter.
#include <gtest/gtest.h>

#include <memory>

#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactory.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace OverviewReportsProcessing;

ProcessorsChain MethodChain(std::string_view method)
{
    const QxNodePtr config = Tree(kFactoryConfiguration);
    return BuildProcessorsChain(config.FindByPath(std::string("RetrieveMethods\\") + std::string(method)),
                                config.GetChild("DefaultProcessorsConfig"));
}

// Plans p1 (named "Alpha") and p3 (no name).
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

class StandardMethodChain : public testing::Test {
protected:
    void TearDown() override
    {
        for (const auto& processor : m_chain) processor->Shutdown();
    }
    QxNodePtr Run(std::string_view text)
    {
        const QxNodePtr query = Tree(text);
        RunProcessorsChain(m_chain, query);
        return query;
    }

    ScopedConfigServer m_config;
    ProcessorsChain m_chain = MethodChain("Standard");
};

// Conditions from the outside in: live plans (named ones by name, the always-live id by id),
// then the When range, then the request's own (its plan list split into names and ids);
// grouping on the id stays; the default sorting and the template are added.
TEST_F(StandardMethodChain, ASubRequestOnPlansBecomesTheQueryOnPlanNames)
{
    ASSERT_EQ(m_chain.size(), 5u);
    Run(kByPlan);  // subscribes
    ASSERT_EQ(m_config.SendPlans(kTwoNamedPlans), S_OK);
    EXPECT_EQ(Canonical(Run(kByPlan)), Canonical(Tree(R"(
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
</Query>)")));
}

TEST(EveryProcessor, ANullFilterIsAnErrorNotACrash)
{
    ScopedMetricsConfiguration metrics{kPlanMetricsConfiguration};
    ScopedConfigServer config;
    for (std::string_view method : {"Fast", "Standard"}) {
        const ProcessorsChain chain = MethodChain(method);
        RunProcessorsChain(chain, Tree("<Query/>"));
        config.SendPlans(kTwoNamedPlans);
        for (const auto& processor : chain) {
            EXPECT_NE(CodeOf([&] { processor->ProcessFilters(nullptr); }), S_OK) << method;
            processor->Shutdown();
        }
    }
}

}  // namespace
}  // namespace cvn::test
