// Data sources to product ids in filters, and product ids back to data sources
// in results, with the counts of one data source's products summed.
#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/FiltersProcessors/ProductIdRemaper.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::ProductIdRemaper;

constexpr std::string_view kMapping = R"(
<node q:name="DataSourceMapping">
  <DataSource DataSource:guid="{11111111-2222-3333-4444-555555555555}" ProductIds:strs="P2|P1"/>
  <DataSource DataSource:guid="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}" ProductIds:strs="P3"/>
  <Other DataSource:guid="{00000000-0000-0000-0000-000000000009}"/>
</node>)";

class ProductIdRemaperTest : public testing::Test {
protected:
    ProductIdRemaper m_remaper{Tree(kMapping)};
};

// Conditions on a data source become list conditions on its products, ids written as text too;
// a filter without data source is left alone.
TEST_F(ProductIdRemaperTest, ConditionsOnADataSourceBecomeListConditionsOnItsProducts)
{
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {R"(<RetrieveCountersRequest>
              <ConditionsRoot q:name="Conditions">
                <Condition operator="AND">
                  <ConditionValues Columnn="DataSource" Comparator="=" Value:guid="{11111111-2222-3333-4444-555555555555}"/>
                  <ConditionValues Columnn="Who" Comparator="=" Value="alice"/>
                  <ConditionValues Columnn="DataSource" Comparator="&lt;&gt;" Value:guid="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"/>
                </Condition>
                <Condition operator="NOT IN">
                  <ConditionValues Columnn="DataSource"
                      Values:guids="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}|{11111111-2222-3333-4444-555555555555}|{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"/>
                </Condition>
              </ConditionsRoot>
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="DataSource"/></GroupByRoot>
            </RetrieveCountersRequest>)",
         R"(<RetrieveCountersRequest>
              <ConditionsRoot q:name="Conditions">
                <Condition operator="AND">
                  <ConditionValues Columnn="Who" Comparator="=" Value="alice"/>
                  <Condition operator="IN"><ConditionValues Columnn="ProductId" Values:strs="P1|P2"/></Condition>
                  <Condition operator="NOT IN"><ConditionValues Columnn="ProductId" Values:strs="P3"/></Condition>
                </Condition>
                <Condition operator="NOT IN"><ConditionValues Columnn="ProductId" Values:strs="P3|P1|P2"/></Condition>
              </ConditionsRoot>
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ProductId"/></GroupByRoot>
            </RetrieveCountersRequest>)"},
        {R"(<Query><ConditionsRoot q:name="Conditions"><Condition operator="IN">
              <ConditionValues Columnn="DataSource"
                  Values:strs="{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}|{11111111-2222-3333-4444-555555555555}"/>
            </Condition><Condition operator="OR">
              <ConditionValues Columnn="DataSource" Comparator="=" Value="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"/>
            </Condition></ConditionsRoot></Query>)",
         R"(<Query><ConditionsRoot q:name="Conditions">
              <Condition operator="OR">
                <Condition operator="IN"><ConditionValues Columnn="ProductId" Values:strs="P3"/></Condition>
              </Condition>
              <Condition operator="IN"><ConditionValues Columnn="ProductId" Values:strs="P3|P1|P2"/></Condition>
            </ConditionsRoot></Query>)"},
        {R"(<Query><ConditionsRoot q:name="Conditions"><ConditionValues Columnn="ProductId" Comparator="=" Value="P1"/></ConditionsRoot></Query>)",
         nullptr},
    };
    for (const auto& [input, expected] : cases) {
        const QxNodePtr filters = Tree(input);
        EXPECT_EQ(m_remaper.ReplaceDataSourceFilters(filters), expected != nullptr) << input;
        EXPECT_EQ(Canonical(filters), Canonical(Tree(expected ? expected : input)));
    }
}

TEST_F(ProductIdRemaperTest, BadDataSourceConditionsFailWithTheFiltersUnchanged)
{
    const auto check = [&](std::string_view leaves, HRESULT expected) {
        const QxNodePtr filters = Tree(R"(<RetrieveCountersRequest><ConditionsRoot q:name="Conditions">
              <Condition operator="AND">
                <ConditionValues Columnn="DataSource" Comparator="=" Value:guid="{11111111-2222-3333-4444-555555555555}"/>
              )" + std::string(leaves) + R"(</Condition></ConditionsRoot>
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="DataSource"/></GroupByRoot>
            </RetrieveCountersRequest>)");
        const std::string before = Canonical(filters);
        EXPECT_EQ(CodeOf([&] { m_remaper.ReplaceDataSourceFilters(filters); }), expected) << leaves;
        EXPECT_EQ(Canonical(filters), before);
    };
    LogCapture log;
    check(R"(<ConditionValues Columnn="DataSource" Comparator="=" Value:guid="{00000000-0000-0000-0000-000000000009}"/>)",
          kHrNotFound);
    EXPECT_EQ(log.Count("DataSource not found: {00000000-0000-0000-0000-000000000009}"), 1u);
    check(R"(<ConditionValues Columnn="DataSource" Comparator="&gt;=" Value:guid="{11111111-2222-3333-4444-555555555555}"/>)",
          kHrInvalidData);
    EXPECT_EQ(log.Count("Invalid DataSource condition: "), 1u);
    check(R"(<ConditionValues Columnn="DataSource" Value:guid="{11111111-2222-3333-4444-555555555555}"/>)", kHrNotFound);
    check(R"(<ConditionValues Columnn="DataSource" Comparator="="/>)", kHrNotFound);
    check(R"(<Condition><ConditionValues Columnn="DataSource" Values:guids="{11111111-2222-3333-4444-555555555555}"/></Condition>)",
          kHrNotFound);
}

TEST_F(ProductIdRemaperTest, ResultsOfTheProductsOfOneDataSourceComeBackAsOneNode)
{
    const QxNodePtr result = Tree(R"(
        <Result>
          <Row ProductId="P1" Who="alice" Count:i64="3"/>
          <Row ProductId="P3" Who="alice" Count:i64="4"/>
          <Row ProductId="P2" Who="alice" Count:i64="5"/>
          <Row ProductId="P2" Who="bob" Count:i64="1"/>
          <Row ProductId="P9" Who="carol" Count:i64="2"/>
          <Row ProductId="P3" Who="alice" Count:i64="6"/>
        </Result>)");
    LogCapture log;
    m_remaper.ReplaceProductIdByDataSource(result);
    EXPECT_EQ(log.Count("Invalid product Id: P9"), 1u);
    EXPECT_EQ(Canonical(result), Canonical(Tree(R"(
        <Result>
          <Row Who="alice" Count:i64="8" DataSource:guid="{11111111-2222-3333-4444-555555555555}"/>
          <Row Who="alice" Count:i64="4" DataSource:guid="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"/>
          <Row Who="bob" Count:i64="1" DataSource:guid="{11111111-2222-3333-4444-555555555555}"/>
          <Row ProductId="P9" Who="carol" Count:i64="2"/>
          <Row Who="alice" Count:i64="6" DataSource:guid="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"/>
        </Result>)")));
}

TEST_F(ProductIdRemaperTest, NodesThatDifferInAnyOtherAttributeAreNotMergedAMergeWithoutCountFails)
{
    const QxNodePtr result = Tree(R"(
        <Result>
          <Row ProductId="P1" Who="alice" Count:i64="3"/>
          <Row ProductId="P2" Who="alice" Where="srv" Count:i64="5"/>
          <Row ProductId="P2" Count:i64="7"/>
        </Result>)");
    m_remaper.ReplaceProductIdByDataSource(result);
    EXPECT_EQ(result.GetChildCount(), 3u);
    EXPECT_EQ(result.GetChild(0).GetRequiredAttribute<int64_t>("Count"), 3);

    const QxNodePtr uncounted = Tree(R"(
        <Result><Row ProductId="P1" Who="a" Count:i64="3"/><Row ProductId="P2" Who="a"/></Result>)");
    const std::string before = Canonical(uncounted);
    EXPECT_EQ(CodeOf([&] { m_remaper.ReplaceProductIdByDataSource(uncounted); }), kHrNotFound);
    EXPECT_EQ(Canonical(uncounted), before);
}

TEST(ProductIdRemaperConfiguration, MappingEntriesNeedBothAttributes)
{
    EXPECT_EQ(CodeOf([] { ProductIdRemaper(Tree(R"(<node><DataSource ProductIds:strs="P1"/></node>)")); }), kHrNotFound);
    EXPECT_EQ(CodeOf([] {
                  ProductIdRemaper(Tree(R"(<node><DataSource DataSource:guid="{11111111-2222-3333-4444-555555555555}"/></node>)"));
              }),
              kHrNotFound);
    const ProductIdRemaper empty{QxNodePtr()};
    const QxNodePtr filters = Tree(R"(<Query><ConditionsRoot><ConditionValues Columnn="DataSource" Comparator="="
        Value:guid="{11111111-2222-3333-4444-555555555555}"/></ConditionsRoot></Query>)");
    EXPECT_EQ(CodeOf([&] { empty.ReplaceDataSourceFilters(filters); }), kHrNotFound);
}

}  // namespace
}  // namespace cvn::test
