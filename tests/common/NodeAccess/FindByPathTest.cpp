// QxNodePtr::FindByPath: relative and absolute paths, the upward refusal and must-exist flags.
#include <gtest/gtest.h>

#include "common/NodeAccess/QxNodePtr.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

TEST(FindByPath, FindsRelativeAndAbsolutePathsAsTheFlagsAllow)
{
    // \Root\Config\Plans\Live, \Root\Config\PlansOld and \Root\Statuses\Overview
    const QxNodePtr root = QxNodePtr::Parse(R"(
        <Section q:name="Root">
          <Section q:name="Config">
            <Section q:name="Plans"><Leaf q:name="Live"/></Section>
            <Section q:name="PlansOld"/>
          </Section>
          <Section q:name="Statuses"><Leaf q:name="Overview"/></Section>
        </Section>)");
    const QxNodePtr plans = root.GetChild("Config").GetChild("Plans");
    const QxNodePtr live = plans.GetChild("Live");
    constexpr uint32_t kNoUpward = QxNodePtr::kFindNoUpward, kMustExist = QxNodePtr::kFindMustExist;
    const struct {
        const QxNodePtr& from;
        const char* path;
        uint32_t flags;
        const char* found;  // the found node's path, "(null)" or "(throws)"
    } cases[] = {
        // Relative paths walk down; empty steps are skipped.
        {root, "Config\\Plans\\Live", 0, "\\Root\\Config\\Plans\\Live"},
        {root, "Config\\\\Plans\\", 0, "\\Root\\Config\\Plans"},
        {root, "", 0, "\\Root"},
        {root, "Config\\Missing\\Live", 0, "(null)"},
        {root, "Statuses", kMustExist, "\\Root\\Statuses"},
        {root, "Config\\Nothing", kMustExist, "(throws)"},
        // Absolute paths go through the common prefix; a shared beginning of a name is none.
        {plans, "\\Root\\Statuses\\Overview", 0, "\\Root\\Statuses\\Overview"},
        {plans, "\\Root\\Config\\Plans\\Live", 0, "\\Root\\Config\\Plans\\Live"},
        {plans, "\\Root\\Config\\Plans", 0, "\\Root\\Config\\Plans"},
        {plans, "\\Root", 0, "\\Root"},
        {plans, "\\Root\\Config\\PlansOld", 0, "\\Root\\Config\\PlansOld"},
        {live, "\\Root\\Config", 0, "\\Root\\Config"},
        // Without a common prefix nothing is reachable.
        {plans, "\\Other\\Config", 0, "(null)"},
        {plans, "\\", 0, "(null)"},
        {plans, "\\Other\\Config", kMustExist, "(throws)"},
        // Steps upwards may be refused.
        {plans, "\\Root\\Statuses", kNoUpward, "(null)"},
        {plans, "\\Root\\Config\\Plans\\Live", kNoUpward, "\\Root\\Config\\Plans\\Live"},
        {plans, "\\Root\\Statuses", kNoUpward | kMustExist, "(throws)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " from " + c.from.GetPath());
        std::string found = "(throws)";
        const HRESULT hr = test::CodeOf([&] {
            const QxNodePtr node = c.from.FindByPath(c.path, c.flags);
            found = node ? node.GetPath() : "(null)";
        });
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(hr, found == "(throws)" ? kHrNotFound : S_OK);
    }
}

}  // namespace
}  // namespace cvn
