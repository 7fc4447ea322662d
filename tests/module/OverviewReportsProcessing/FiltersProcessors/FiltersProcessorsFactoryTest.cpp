// The processor table by name and chains built from a method's configuration.
#include <gtest/gtest.h>

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
}

TEST_F(FiltersProcessorsFactoryTest, TheShippedKindsAreInTheTable)
{
    const ProcessorsChain twice = BuildProcessorsChain(Tree(R"(<node Processors:strs="WhenProcessor|WhenProcessor"/>)"), nullptr);
    const QxNodePtr filter = Tree(R"(<Query><node q:name="TimeRange" TimeFrom="a" TimeTill="b"/></Query>)");
    RunProcessorsChain(twice, filter);
    // Both ran: the second wraps the first's range condition once more.
    EXPECT_EQ(filter.FindByPath("Conditions").GetChild(0).GetChild(1).GetChild(0).GetChildCount(), 2u);
    EXPECT_EQ(BuildProcessorsChain(Tree(R"(<node Processors:strs="MaskProcessor"/>)"), nullptr).size(), 1u);
    const QxNodePtr templates = Tree(R"(<node><node q:name="QueryTemplateProcessor" QueryTemplateName="fast"/></node>)");
    EXPECT_EQ(BuildProcessorsChain(Tree(R"(<node Processors:strs="QueryTemplateProcessor"/>)"), templates).size(), 1u);
}

// Each kind refuses a configuration (or none) without the settings it needs.
TEST_F(FiltersProcessorsFactoryTest, ShippedKindsRefuseConfigurationsWithoutTheirSettings)
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
}

TEST_F(FiltersProcessorsFactoryTest, UnknownNamesAndMissingListsFailTheWholeChain)
{
    LogCapture log;
    EXPECT_EQ(CodeOf([] { BuildProcessorsChain(Tree(R"(<node Processors:strs="MaskProcessor|whenProcessor"/>)"), nullptr); }),
              kHrInvalidData);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MakeProcessor failed: Filter Processor not found: whenProcessor"), 1u);
    EXPECT_EQ(CodeOf([] { BuildProcessorsChain(Tree("<node/>"), nullptr); }), kHrNotFound);
    EXPECT_EQ(CodeOf([] { RegisterProcessorForTests("", BuildActivator<TagProcessor>()); }), E_INVALIDARG);
}

}  // namespace
}  // namespace cvn::test
