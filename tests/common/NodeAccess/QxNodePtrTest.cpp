// QxNodePtr: handle ownership, null use, the string read protocol, typed attributes and must-exist reads.
#include "common/NodeAccess/QxNodePtr.h"

#include <gtest/gtest.h>

#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using test::CodeOf;

constexpr GUID kGuid = MakeGuid(0xE6A80730, 0x806E, 0x431E, 0xBBF2, 0x2A798AF505EE);

TEST(QxNodePtr, CopiesMovesSelfAssignmentAndNullUseThrowsEPointer)
{
    QxNodePtr copy(QxNodePtr{});
    EXPECT_FALSE(copy);
    QxNodePtr node = QxNodePtr::Create("Kept");
    const QxNodePtr& self = node;
    node = self;
    QxNodePtr second = node;  // a second handle to the same node
    node.Reset();
    QxNodePtr moved = std::move(second);
    EXPECT_FALSE(second);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.GetName(), "Kept");

    EXPECT_EQ(CodeOf([] { QxNodePtr().GetName(); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { QxNodePtr().SetAttribute("A", 1); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { QxNodePtr().FindByPath("a"); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { QxNodePtr::Create("P").AddChild(QxNodePtr()); }), E_POINTER);
}

TEST(QxNodePtr, LongNamesTypesAndTextsAreReadWholeThroughTheSecondCall)
{
    for (size_t length : {127u, 128u, 1000u}) {  // the first read takes 128 units with the NUL
        const std::string name(length, 'n');
        const QxNodePtr node = QxNodePtr::Create(name, "T" + name);
        EXPECT_EQ(node.GetName(), name);
        EXPECT_EQ(node.GetType(), "T" + name);
        node.SetAttribute("Text", name + "\xC3\xA9");
        EXPECT_EQ(node.GetRequiredAttribute<std::string>("Text"), name + "\xC3\xA9");
    }
}

TEST(QxNodePtr, TypedAttributesRoundTripAndAbsentOrUnconvertibleOnesAreReported)
{
    const QxNodePtr node = QxNodePtr::Create("Attributes");
    node.SetAttribute("U32", uint32_t{0x80040513});
    node.SetAttribute("U64", uint64_t{0xFFFFFFFFFFFFFFFF});
    node.SetAttribute("Empty", std::vector<std::string>{});
    const std::vector<GUID> many(40, kGuid);  // beyond the first buffer
    node.SetAttribute("Many", many);
    EXPECT_EQ(node.GetRequiredAttribute<uint32_t>("U32"), 0x80040513u);
    EXPECT_EQ(node.GetRequiredAttribute<uint64_t>("U64"), 0xFFFFFFFFFFFFFFFFull);
    std::vector<std::string> empty{"stale"};
    ASSERT_TRUE(node.GetAttribute("Empty", empty));
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(node.GetRequiredAttribute<std::vector<GUID>>("Many"), many);
    uint32_t stored = 0;
    EXPECT_TRUE(node.HasAttribute("Many", &stored));
    EXPECT_EQ(stored, QXN_TYPE_GUID_ARRAY);

    int32_t value = 11;
    EXPECT_FALSE(node.GetAttribute("Missing", value));
    EXPECT_EQ(value, 11);
    EXPECT_EQ(node.GetAttributeOr("Missing", "fallback"), "fallback");
    EXPECT_EQ(CodeOf([&] { node.GetRequiredAttribute<int32_t>("Missing"); }), kHrNotFound);
    node.SetAttribute("Word", "twelve");
    EXPECT_EQ(CodeOf([&] { node.GetAttribute("Word", value); }), kHrInvalidData);

    EXPECT_EQ(node.GetAttributeNames(), (std::vector<std::string>{"U32", "U64", "Empty", "Many", "Word"}));
    node.DeleteAttribute("U64");
    EXPECT_NO_THROW(node.DeleteAttribute("U64"));
    EXPECT_EQ(CodeOf([&] { node.DeleteAttribute("U64", true); }), kHrNotFound);
    EXPECT_EQ(node.GetAttributeNames(), (std::vector<std::string>{"U32", "Empty", "Many", "Word"}));
}

TEST(QxNodePtr, ChildrenHonourMustExistAndTextParsesOneNode)
{
    const QxNodePtr parent = QxNodePtr::Parse(R"(<Parent q:name="P"><node q:name="First"/><node q:name="Second"/></Parent>)");
    EXPECT_FALSE(parent.GetChild("Missing", false));
    EXPECT_FALSE(parent.GetChild(uint64_t{2}, false));
    EXPECT_EQ(CodeOf([&] { parent.GetChild("Missing", true); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { parent.GetChild(uint64_t{5}); }), kHrNotFound);
    const auto children = parent.GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[1].GetParent().GetName(), "P");
    parent.RemoveChild(children[0]);
    EXPECT_EQ(parent.Clone(0).GetChildCount(), 0u);
    EXPECT_EQ(parent.Clone().GetChild("Second").GetName(), "Second");
    EXPECT_EQ(QxNodePtr::Parse(parent.ToText()).ToText(), parent.ToText());

    EXPECT_EQ(QxNodePtr::ParseAll(R"(<A q:name="1"/><B q:name="2"/>)").size(), 2u);
    EXPECT_EQ(CodeOf([] { QxNodePtr::Parse(R"(<A q:name="1"/><B q:name="2"/>)"); }), kHrInvalidData);
    try {
        QxNodePtr::Parse("<A q:name=");
        FAIL();
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), kHrInvalidData);
        EXPECT_NE(ErrorText(error).find("line 1"), std::string::npos) << ErrorText(error);
    }

    // A tree deeper than text goes is not written, and the error names the limit.
    QxNodePtr deep = QxNodePtr::Create("Deep");
    for (int level = 1; level <= 1000; ++level) {
        QxNodePtr outer = QxNodePtr::Create("Deep");
        outer.AddChild(deep);
        deep = std::move(outer);
    }
    EXPECT_NO_THROW(deep.ToText(999));
    try {
        deep.ToText();
        FAIL();
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), kHrInvalidData);
        EXPECT_NE(ErrorText(error).find("Node tree nested deeper than 1000 levels"), std::string::npos)
            << ErrorText(error);
    }
}

}  // namespace
}  // namespace cvn
