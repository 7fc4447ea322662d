// The sorting and query template processors: the default sorting only where the request
// has none, the template name always.
#include "module/OverviewReportsProcessing/FiltersProcessors/SortingProcessor.h"

#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/FiltersProcessors/QueryTemplateProcessor.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::QueryTemplateProcessor;
using OverviewReportsProcessing::SortingProcessor;

constexpr std::string_view kSortingConfig = R"(
<SortingProcessor>
  <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot>
</SortingProcessor>)";

TEST(SortingProcessor, AFilterWithoutSortingGetsACopyOfTheDefault)
{
    const QxNodePtr config = Tree(kSortingConfig);
    SortingProcessor processor(config);
    config.FindByPath("SortingRoot").GetChild(0).SetAttribute("Order", "ASC");  // later changes do not leak in
    const QxNodePtr first = Tree(R"(<Query q:name="A"/>)");
    const QxNodePtr second = Tree(R"(<Query q:name="B"/>)");
    processor.ProcessFilters(first);
    processor.ProcessFilters(second);
    first.FindByPath("SortingRoot").GetChild(0).SetAttribute("Column", "Who");
    EXPECT_EQ(Canonical(second), Canonical(Tree(R"(
        <Query q:name="B"><SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/></SortingRoot></Query>)")));
}

TEST(SortingProcessor, TheRequestsOwnSortingWinsEvenWhenEmpty)
{
    SortingProcessor processor(Tree(kSortingConfig));
    for (const char* text :
         {R"(<Query><SortingRoot q:name="SortingRoot"/></Query>)",
          R"(<Query><SortingRoot q:name="SortingRoot"><SortingEntry Column="Who"/></SortingRoot></Query>)"}) {
        const QxNodePtr filter = Tree(text);
        processor.ProcessFilters(filter);
        EXPECT_EQ(Canonical(filter), Canonical(Tree(text)));
    }
}

TEST(QueryTemplateProcessor, SetsTheTemplateNameOverAnyValue)
{
    QueryTemplateProcessor processor(Tree(R"(<QueryTemplateProcessor QueryTemplateName="OverviewCounters"/>)"));
    const QxNodePtr filter = Tree(R"(<Query Query_Template_Name="Old"/>)");
    processor.ProcessFilters(filter);
    EXPECT_EQ(Canonical(filter), Canonical(Tree(R"(<Query Query_Template_Name="OverviewCounters"/>)")));
}

}  // namespace
}  // namespace cvn::test
