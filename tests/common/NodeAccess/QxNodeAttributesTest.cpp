// QxNodePtr: typed attribute reads and writes.
#include <gtest/gtest.h>

#include "common/NodeAccess/QxNodePtr.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

constexpr GUID kGuidA = MakeGuid(0x87074C74, 0x6D4D, 0x4288, 0x92E8, 0xB954789A88BD);
constexpr GUID kGuidB = MakeGuid(0xE6A80730, 0x806E, 0x431E, 0xBBF2, 0x2A798AF505EE);

class QxNodeAttributesTest : public testing::Test {
protected:
    QxNodePtr m_node = QxNodePtr::Create("Attributes");
};

TEST_F(QxNodeAttributesTest, ScalarsListsAndArraysRoundTripWithTheirTypes)
{
    m_node.SetAttribute("I32", int32_t{-7});
    m_node.SetAttribute("U32", uint32_t{0x80040513});
    m_node.SetAttribute("I64", int64_t{-1} << 40);
    m_node.SetAttribute("U64", uint64_t{0xFFFFFFFFFFFFFFFF});
    m_node.SetAttribute("Flag", true);
    m_node.SetAttribute("Id", kGuidA);
    m_node.SetAttribute("Text", std::string("caf\xC3\xA9"));
    EXPECT_EQ(m_node.GetRequiredAttribute<int32_t>("I32"), -7);
    EXPECT_EQ(m_node.GetRequiredAttribute<uint32_t>("U32"), 0x80040513u);
    EXPECT_EQ(m_node.GetRequiredAttribute<int64_t>("I64"), int64_t{-1} << 40);
    EXPECT_EQ(m_node.GetRequiredAttribute<uint64_t>("U64"), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_TRUE(m_node.GetRequiredAttribute<bool>("Flag"));
    EXPECT_EQ(m_node.GetRequiredAttribute<GUID>("Id"), kGuidA);
    EXPECT_EQ(m_node.GetRequiredAttribute<std::string>("Text"), "caf\xC3\xA9");
    for (const auto& [name, type] : {std::pair{"I32", QXN_TYPE_INT32}, {"Id", QXN_TYPE_GUID}}) {
        uint32_t stored = 0;
        EXPECT_TRUE(m_node.HasAttribute(name, &stored));
        EXPECT_EQ(stored, type) << name;
    }
    EXPECT_FALSE(m_node.HasAttribute("Missing"));

    const std::vector<std::string> list{"one", "", "three"};
    m_node.SetAttribute("List", list);
    m_node.SetAttribute("Empty", std::vector<std::string>{});
    m_node.SetAttribute("Ints", std::vector<int32_t>{1, -2, 3});
    const std::vector<GUID> many(40, kGuidB);  // beyond the first buffer
    m_node.SetAttribute("Many", many);
    EXPECT_EQ(m_node.GetRequiredAttribute<std::vector<std::string>>("List"), list);
    std::vector<std::string> empty{"stale"};
    ASSERT_TRUE(m_node.GetAttribute("Empty", empty));
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(m_node.GetRequiredAttribute<std::vector<int32_t>>("Ints"), (std::vector<int32_t>{1, -2, 3}));
    EXPECT_EQ(m_node.GetRequiredAttribute<std::vector<GUID>>("Many"), many);
}

TEST_F(QxNodeAttributesTest, AbsentValuesGiveFalseDefaultsOrNotFoundAndUnconvertibleReadsThrow)
{
    int32_t value = 11;
    EXPECT_FALSE(m_node.GetAttribute("Missing", value));
    EXPECT_EQ(value, 11);
    EXPECT_EQ(m_node.GetAttributeOr("Missing", int32_t{42}), 42);
    EXPECT_EQ(m_node.GetAttributeOr("Missing", "fallback"), "fallback");
    m_node.SetAttribute("Present", int32_t{3});
    EXPECT_EQ(m_node.GetAttributeOr("Present", int32_t{42}), 3);
    EXPECT_EQ(m_node.GetRequiredAttribute<std::string>("Present"), "3");  // any value reads as a string
    EXPECT_EQ(test::CodeOf([&] { m_node.GetRequiredAttribute<int32_t>("Missing"); }), kHrNotFound);
    m_node.SetAttribute("Word", "twelve");
    EXPECT_EQ(test::CodeOf([&] { m_node.GetAttribute("Word", value); }), kHrInvalidData);
}

TEST_F(QxNodeAttributesTest, DeleteIgnoresAbsenceUnlessRequiredAndNamesKeepOrder)
{
    m_node.SetAttribute("B", 1);
    m_node.SetAttribute("A", 2);
    m_node.SetAttribute("C", 3);
    EXPECT_EQ(m_node.GetAttributeNames(), (std::vector<std::string>{"B", "A", "C"}));

    m_node.DeleteAttribute("A");
    EXPECT_FALSE(m_node.HasAttribute("A"));
    EXPECT_NO_THROW(m_node.DeleteAttribute("A"));
    EXPECT_EQ(test::CodeOf([&] { m_node.DeleteAttribute("A", true); }), kHrNotFound);
    EXPECT_EQ(m_node.GetAttributeNames(), (std::vector<std::string>{"B", "C"}));
    EXPECT_TRUE(QxNodePtr::Create("Bare").GetAttributeNames().empty());
}

}  // namespace
}  // namespace cvn
