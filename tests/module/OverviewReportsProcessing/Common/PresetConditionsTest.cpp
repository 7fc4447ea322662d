// Preset condition references: finding them and expanding them into the preset's own conditions.
#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

namespace cvn::test {
namespace {

class PresetConditions : public testing::Test {
protected:
    ScopedMetricsConfiguration m_configuration{kMetricsConfiguration};
};

TEST_F(PresetConditions, ReferencesAreFoundInOrderAndExpandedIntoThePresetMarkingTheEnclosingRequest)
{
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
}

TEST_F(PresetConditions, ABadReferenceFailsWithTheRequestUnchanged)
{
    const auto check = [](std::string_view text, HRESULT expected) {
        const QxNodePtr request = Tree(text);
        const std::string before = Canonical(request);
        EXPECT_EQ(CodeOf([&] { FilterHelper::ExpandPresetConditions(request); }), expected);
        EXPECT_EQ(Canonical(request), before);
    };
    LogCapture log;
    check(R"(<RetrieveCountersRequest><ConditionsRoot q:name="Conditions">
               <ConditionValues Columnn="ConditionId" Value="Failed"/><ConditionValues Columnn="ConditionId" Value="Nope"/>
             </ConditionsRoot></RetrieveCountersRequest>)",
          kHrNotFound);
    EXPECT_EQ(log.Count("Invalid preset condition name: Nope"), 1u);
    check(R"(<RetrieveCountersRequest><ConditionsRoot q:name="Conditions">
               <ConditionValues Columnn="ConditionId" Value="Failed"/><ConditionValues Columnn="ConditionId"/>
             </ConditionsRoot></RetrieveCountersRequest>)",
          kHrNotFound);
}

}  // namespace
}  // namespace cvn::test
