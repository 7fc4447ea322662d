// QxNodePtr: handle ownership, names, children and the string read protocol.
#include <gtest/gtest.h>

#include "common/NodeAccess/QxNodePtr.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using test::CodeOf;

TEST(QxNodePtrHandle, CopiesMovesSelfAssignmentAndNullUseThrowsEPointer)
{
    const QxNodePtr null;
    QxNodePtr copy(null);
    EXPECT_FALSE(copy);
    copy = null;
    EXPECT_FALSE(copy);

    QxNodePtr node = QxNodePtr::Create("Kept");
    IQxNode* handle = node.Get();
    const QxNodePtr& self = node;
    node = self;
    EXPECT_EQ(node.Get(), handle);
    EXPECT_EQ(node.GetName(), "Kept");

    QxNodePtr second = node;  // a second handle to the same node
    node.Reset();
    EXPECT_EQ(second.GetName(), "Kept");

    QxNodePtr moved = std::move(second);
    EXPECT_FALSE(second);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.GetName(), "Kept");

    // A null pointer used as a node.
    EXPECT_EQ(CodeOf([] { QxNodePtr().GetName(); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { QxNodePtr().SetAttribute("A", 1); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { QxNodePtr().FindByPath("a"); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { QxNodePtr::Create("P").AddChild(QxNodePtr()); }), E_POINTER);
}

TEST(QxNodePtrNames, EmptyNamesStayUnsetAndLongOnesAreReadWholeThroughTheSecondCall)
{
    const QxNodePtr unset = QxNodePtr::Create();
    EXPECT_EQ(unset.GetName(), "");
    EXPECT_EQ(unset.GetType(), "");
    unset.SetName("Named");
    unset.SetType("Typed");
    EXPECT_EQ(unset.GetName(), "Named");
    EXPECT_EQ(unset.GetType(), "Typed");

    for (size_t length : {127u, 128u, 1000u}) {  // the first read takes 128 units with the NUL
        const std::string name(length, 'n');
        const QxNodePtr node = QxNodePtr::Create(name, "LongType" + std::string(length, 't'));
        EXPECT_EQ(node.GetName(), name);
        EXPECT_EQ(node.GetType(), "LongType" + std::string(length, 't'));
        node.SetAttribute("Text", name + "\xC3\xA9");
        EXPECT_EQ(node.GetRequiredAttribute<std::string>("Text"), name + "\xC3\xA9");
    }
}

TEST(QxNodePtrChildren, GetChildHonoursMustExist)
{
    const QxNodePtr parent = QxNodePtr::Create("Parent");
    parent.AddChild(QxNodePtr::Create("First"));
    parent.AddChild(QxNodePtr::Create("Second"));

    EXPECT_EQ(parent.GetChildCount(), 2u);
    EXPECT_EQ(parent.GetChild("Second").GetName(), "Second");
    EXPECT_EQ(parent.GetChild(uint64_t{0}).GetName(), "First");
    EXPECT_FALSE(parent.GetChild("Missing", false));
    EXPECT_FALSE(parent.GetChild(uint64_t{2}, false));
    EXPECT_EQ(CodeOf([&] { parent.GetChild("Missing", true); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { parent.GetChild(uint64_t{5}); }), kHrNotFound);

    const auto children = parent.GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[1].GetParent().GetName(), "Parent");
    EXPECT_FALSE(parent.GetParent());

    parent.RemoveChild(children[0]);
    EXPECT_EQ(parent.GetChildCount(), 1u);
    EXPECT_EQ(parent.Clone(0).GetChildCount(), 0u);
    EXPECT_EQ(parent.Clone().GetChild("Second").GetName(), "Second");
}

TEST(QxNodePtrText, ParsesOneNodeAndReportsMalformedText)
{
    const QxNodePtr node = QxNodePtr::Parse(R"(<Config q:name="Cfg" Ttl:i32="5"><Item q:name="A"/></Config>)");
    EXPECT_EQ(node.GetName(), "Cfg");
    EXPECT_EQ(node.GetType(), "Config");
    EXPECT_EQ(node.GetRequiredAttribute<int32_t>("Ttl"), 5);
    EXPECT_EQ(node.GetChild("A").GetType(), "Item");

    const QxNodePtr again = QxNodePtr::Parse(node.ToText());
    EXPECT_EQ(again.ToText(), node.ToText());

    EXPECT_EQ(QxNodePtr::ParseAll(R"(<A q:name="1"/><B q:name="2"/>)").size(), 2u);
    EXPECT_EQ(CodeOf([] { QxNodePtr::Parse(R"(<A q:name="1"/><B q:name="2"/>)"); }), kHrInvalidData);
    try {
        QxNodePtr::Parse("<A q:name=");
        FAIL();
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), kHrInvalidData);
        EXPECT_NE(ErrorText(error).find("line 1"), std::string::npos) << ErrorText(error);
    }
}

}  // namespace
}  // namespace cvn
