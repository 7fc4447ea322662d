// The processor table by name and chains built from a method's configuration.
#include <gtest/gtest.h>

#include "OverviewReportsProcessing/Corvane/FiltersProcessorsFactory.h"
#include "module/OverviewReportsProcessing/Common/FilterTestSupport.h"

namespace corvane::test {
namespace {

using namespace OverviewReportsProcessing;

/// Appends its configured "Tag" (or "-" without configuration) to the filter's "Trail".
class TagProcessor : public IFiltersProcessor {
public:
    explicit TagProcessor(const QxNodePtr& configuration)
        : m_tag(configuration ? configuration.GetRequiredAttribute<std::string>("Tag") : "-")
    {
    }
    void ProcessFilters(const QxNodePtr& filters) override
    {
        filters.SetAttribute("Trail", filters.GetAttributeOr("Trail", "") + m_tag);
    }

private:
    std::string m_tag;
};

class FiltersProcessorsFactoryTest : public testing::Test {
protected:
    FiltersProcessorsFactoryTest() { RegisterProcessorForTests("TagProcessor", BuildActivator<TagProcessor>()); }
    ~FiltersProcessorsFactoryTest() override { UnregisterProcessorForTests("TagProcessor"); }

    static std::string Trail(const ProcessorsChain& chain)
    {
        const QxNodePtr filters = Tree("<Query/>");
        RunProcessorsChain(chain, filters);
        return filters.GetAttributeOr("Trail", "");
    }
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
    EXPECT_EQ(BuildProcessorsChain(Tree(R"(<node Processors:strs="WhenProcessor|WhenProcessor|MaskProcessor"/>)"), nullptr)
                  .size(),
              3u);
    const QxNodePtr templates = Tree(R"(<node><node q:name="QueryTemplateProcessor" QueryTemplateName="fast"/></node>)");
    EXPECT_EQ(BuildProcessorsChain(Tree(R"(<node Processors:strs="QueryTemplateProcessor"/>)"), templates).size(), 1u);
    EXPECT_EQ(CodeOf([] { BuildProcessorsChain(Tree(R"(<node Processors:strs="QueryTemplateProcessor"/>)"), nullptr); }),
              kHrNotFound)
        << "a processor that needs configuration refuses a null node";
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
}  // namespace corvane::test
