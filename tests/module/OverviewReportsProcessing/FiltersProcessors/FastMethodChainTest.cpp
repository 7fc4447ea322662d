// The fast method's chain as the host ships it (preset, mask, When, live plans, sorting,
// alias, template) on a sub-request grouped by "Who" with a time range: the exact Query
// reaching the queries processor through the retriever factory with the host's own
// configuration server.
#include <gtest/gtest.h>

#include <optional>

#include "module/OverviewReportsProcessing/Corvane/DataRetrieverFactory.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

constexpr std::string_view kByUser = R"(
<Query q:name="ByUser" TimeZoneOffsetSec:i32="7200">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND"><ConditionValues Columnn="Who" Value="alice" Comparator="="/></Condition>
  </ConditionsRoot>
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot>
  <node q:name="TimeRange" TimeFrom="2026-11-01T00:00:00Z" TimeTill="2026-12-01T00:00:00Z"/>
</Query>)";

// Conditions from the outside in: live plans, the When range, the group mask (Who's group
// 0xD), the default preset's id, the request's own. Every leaf carries its table column with
// the logical name in "AliasColumn", the default sorting included.
constexpr std::string_view kExpectedByUser = R"(
<Query q:name="ByUser" TimeZoneOffsetSec:i32="7200" DateTimeOffset:i32="7200" DateTimePart="second"
    Query_Template_Name="OverviewCountersFast" RetrieveMethod:i32="1">
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

class FastMethodThroughTheFactory : public RetrievalTest {
protected:
    // Components are made after the fixture counts the module's objects and gone before it checks.
    void SetUp() override
    {
        RetrievalTest::SetUp();
        m_provider = CreateComponent<ScriptedMetaInfoProvider>();  // answers with the fast method
        m_provider->methodAnswer = R"(<node RetrieveMethod:i32="1"/>)";
        m_providerName.emplace("Test.MetaInfoProvider", m_provider.Get());
        m_factory = CreateComponent<Corvane::CDataRetrieverFactory>();
        ASSERT_EQ(m_factory->Configure(Tree(kFactoryConfiguration).Get()), S_OK);
    }
    void TearDown() override
    {
        m_factory->Shutdown();
        m_factory.Reset();
        m_providerName.reset();
        m_provider.Reset();
        RetrievalTest::TearDown();
    }

    ScopedMetricsConfiguration m_metrics{kPlanMetricsConfiguration};
    ComPtr<CComponentObject<ScriptedMetaInfoProvider>> m_provider;
    std::optional<ScopedNamedInstance> m_providerName;
    ComPtr<CComponentObject<Corvane::CDataRetrieverFactory>> m_factory;
};

// The host's server publishes through the subscription's one-second batches: the one wait
// here that takes about a second.
TEST_F(FastMethodThroughTheFactory, TheQueryProcessorGetsTheQueryOfTheLatestPlansList)
{
    const auto hasLivePlans = [&] {
        const QxNodePtr processed = m_factory->ProcessFilters(Tree(kByUser));
        return processed.FindByPath("Conditions").GetChild(0).GetChild(0).GetAttributeOr("operator", "") == "IN";
    };
    EXPECT_FALSE(hasLivePlans());  // subscribes
    WriteConfigNode(ConfigSource::ConfigServer, kPlansPath, Tree(kTwoNamedPlans));
    ASSERT_TRUE(WaitUntil(hasLivePlans));

    IDataRetriever* raw = nullptr;
    ASSERT_EQ(m_factory->CreateRetriever(Tree(kByUser).Get(), &raw), S_OK);
    auto retriever = ComPtr<IDataRetriever>::Attach(raw);
    ASSERT_EQ(HandedOut([&](IQxNode** out) { return retriever->GetData(out); }).first, S_OK);
    retriever.Reset();

    const auto calls = queries->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].kind, host::QueryCallKind::Query);
    EXPECT_EQ(Canonical(calls[0].node), Canonical(Tree(kExpectedByUser)));
}

}  // namespace
}  // namespace cvn::test
