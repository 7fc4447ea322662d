// QxNodePtr::FindByPath: relative and absolute paths, the upward refusal and must-exist flags.
#include <gtest/gtest.h>

#include "ErrorHandling/HRX.h"
#include "NodeAccess/QxNodePtr.h"

namespace corvane {
namespace {

// \Root\Config\Plans\Live, \Root\Config\PlansOld and \Root\Statuses\Overview
class FindByPathTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_root = QxNodePtr::Parse(R"(
            <Section q:name="Root">
              <Section q:name="Config">
                <Section q:name="Plans"><Leaf q:name="Live"/></Section>
                <Section q:name="PlansOld"/>
              </Section>
              <Section q:name="Statuses"><Leaf q:name="Overview"/></Section>
            </Section>)");
        m_plans = m_root.GetChild("Config").GetChild("Plans");
    }

    static std::string PathOf(const QxNodePtr& node) { return node ? node.GetPath() : "(null)"; }

    QxNodePtr m_root;
    QxNodePtr m_plans;
};

TEST_F(FindByPathTest, RelativePathsWalkDown)
{
    EXPECT_EQ(PathOf(m_root.FindByPath("Config\\Plans\\Live")), "\\Root\\Config\\Plans\\Live");
    EXPECT_EQ(PathOf(m_root.FindByPath("Config\\\\Plans\\")), "\\Root\\Config\\Plans");
    EXPECT_EQ(PathOf(m_root.FindByPath("")), "\\Root");
    EXPECT_EQ(PathOf(m_root.FindByPath("Config\\Missing\\Live")), "(null)");
}

TEST_F(FindByPathTest, AbsolutePathsGoThroughTheCommonPrefix)
{
    EXPECT_EQ(PathOf(m_plans.FindByPath("\\Root\\Statuses\\Overview")), "\\Root\\Statuses\\Overview");
    EXPECT_EQ(PathOf(m_plans.FindByPath("\\Root\\Config\\Plans\\Live")), "\\Root\\Config\\Plans\\Live");
    EXPECT_EQ(PathOf(m_plans.FindByPath("\\Root\\Config\\Plans")), "\\Root\\Config\\Plans");
    EXPECT_EQ(PathOf(m_plans.FindByPath("\\Root")), "\\Root");
    // A shared beginning of a name is no common prefix.
    EXPECT_EQ(PathOf(m_plans.FindByPath("\\Root\\Config\\PlansOld")), "\\Root\\Config\\PlansOld");
    const QxNodePtr live = m_plans.GetChild("Live");
    EXPECT_EQ(PathOf(live.FindByPath("\\Root\\Config")), "\\Root\\Config");
}

TEST_F(FindByPathTest, PathsWithoutCommonPrefixAreUnreachable)
{
    EXPECT_FALSE(m_plans.FindByPath("\\Other\\Config"));
    EXPECT_FALSE(m_plans.FindByPath("\\"));
    try {
        m_plans.FindByPath("\\Other\\Config", QxNodePtr::kFindMustExist);
        FAIL();
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), kHrNotFound);
    }
}

TEST_F(FindByPathTest, FlagOneRefusesStepsUpwards)
{
    EXPECT_FALSE(m_plans.FindByPath("\\Root\\Statuses", QxNodePtr::kFindNoUpward));
    EXPECT_EQ(PathOf(m_plans.FindByPath("\\Root\\Config\\Plans\\Live", QxNodePtr::kFindNoUpward)),
              "\\Root\\Config\\Plans\\Live");
}

TEST_F(FindByPathTest, FlagTwoThrowsForAnyMiss)
{
    EXPECT_THROW(m_root.FindByPath("Config\\Nothing", QxNodePtr::kFindMustExist), HRX);
    EXPECT_THROW(m_plans.FindByPath("\\Root\\Statuses", QxNodePtr::kFindNoUpward | QxNodePtr::kFindMustExist), HRX);
    EXPECT_TRUE(m_root.FindByPath("Statuses", QxNodePtr::kFindMustExist));
}

}  // namespace
}  // namespace corvane
