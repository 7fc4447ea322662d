// Reading modifications out of the server's notification enumerator.
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/NodeModifyUtils.h"

#include <gtest/gtest.h>

#include "tests/support/FakeConfigServer.h"
#include "tests/support/ServiceTestSupport.h"

namespace CfgSubscriptionsHelpers::NodeModifyUtils {
namespace {

using namespace cvn;
using cvn::test::CodeOf;
using cvn::test::Notification;

TEST(GetModifications, ReadsPathMaskAndNodeInServerOrderAndRefusesIncompleteOnes)
{
    const auto modifications = test::Modifications({
        Notification(R"(\Configuration\Plans\A)", 0x100000008, R"(<Plan q:name="A" Enabled:bool="true"/>)"),
        Notification(R"(\Configuration\Plans\B)", 16),
    });
    const auto result = GetModifications(modifications.Get());
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].path, R"(\Configuration\Plans\A)");
    EXPECT_EQ(result[0].changesMask, 8u);  // the mask is 32-bit; the attribute is 64-bit
    ASSERT_TRUE(result[0].node);
    EXPECT_EQ(result[0].node.GetName(), "A");
    EXPECT_TRUE(result[0].node.GetRequiredAttribute<bool>("Enabled"));
    EXPECT_EQ(result[1].changesMask, 16u);
    EXPECT_FALSE(result[1].node);
    EXPECT_TRUE(GetModifications(test::Modifications({}).Get()).empty());

    // Missing attributes are not found; a failing sequence ends the list there.
    const QxNodePtr noPath = QxNodePtr::Create("", "Modification");
    noPath.SetAttribute("ChangesMask", int64_t{8});
    EXPECT_EQ(CodeOf([&] { GetModifications(test::Modifications({noPath}).Get()); }), kHrNotFound);

    const QxNodePtr noMask = QxNodePtr::Create("", "Modification");
    noMask.SetAttribute("ModifiedNodePath", std::string_view(R"(\A)"));
    EXPECT_EQ(CodeOf([&] { GetModifications(test::Modifications({noMask}).Get()); }), kHrNotFound);

    const auto failing = CreateComponent<test::FakeModifyEnum>(
        std::vector<QxNodePtr>{Notification(R"(\A)", 1), Notification(R"(\B)", 1)}, 1);
    const auto untilFailure = GetModifications(failing.Get());
    ASSERT_EQ(untilFailure.size(), 1u);
    EXPECT_EQ(untilFailure[0].path, R"(\A)");
    EXPECT_EQ(CodeOf([] { GetModifications(nullptr); }), E_POINTER);
}

}  // namespace
}  // namespace CfgSubscriptionsHelpers::NodeModifyUtils
