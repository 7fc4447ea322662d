// Typed attributes: the size rules of writes, the growth protocol of reads,
// not-found codes, and reads that ask for another type than the stored one.
#include <array>
#include <cstring>

#include "tests/support/NodestoreTestSupport.h"

namespace nodestore_test {
namespace {

constexpr GUID kGuid = cvn::MakeGuid(0x87074c74, 0x6d4d, 0x4288, 0x92e8, 0xb954789a88bd);

TEST(Attributes, WritesCheckTypeCodesAndSizes)
{
    Handle node = Create();
    const int32_t i32 = 7;
    const int64_t i64 = 7;
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_INT32, &i32, 8), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_INT64, &i64, 4), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_BOOL, &i32, 4), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_GUID, &i64, 8), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_INT32_ARRAY, &i32, 3), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_GUID_ARRAY, &i64, 8), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", 5, &i64, 8), E_INVALIDARG);                  // not a listed code
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", 0x106, &i64, 8), E_INVALIDARG);              // no int64 arrays
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_STRING, u"abc", 6), E_INVALIDARG);  // NUL not counted
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_STRING_LIST, u"a\0b", 6), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"", QXN_TYPE_INT32, &i32, 4), E_INVALIDARG);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"A", QXN_TYPE_INT32, nullptr, 4), E_POINTER);
    uint32_t names = 0;
    EXPECT_EQ(QxnGetAttributeNames(node.get(), nullptr, &names), S_OK);
    EXPECT_EQ(names, 0u);  // nothing was stored

    // A string is cut at its first NUL; the empty list is a null buffer of size 0.
    EXPECT_EQ(QxnSetAttribute(node.get(), u"S", QXN_TYPE_STRING, u"ab\0cd", 12), S_OK);
    EXPECT_EQ(AttributeText(node.get(), u"S"), u"ab");
    EXPECT_EQ(Raw(node.get(), u"S").bytes.size(), 6u);
    EXPECT_EQ(QxnSetAttribute(node.get(), u"L", QXN_TYPE_STRING_LIST, nullptr, 0), S_OK);
    EXPECT_EQ(Raw(node.get(), u"L"), (RawValue{QXN_TYPE_STRING_LIST, {}}));
}

TEST(Attributes, ReadsReportSizesInBytesAndMissingOnesAreNotFound)
{
    Handle node = Parse(R"(<node Columnn="When" Count:i64="5"/>)");
    const uint16_t asString = QXN_TYPE_STRING;
    uint32_t size = 0, stored = 99;
    EXPECT_EQ(QxnGetAttribute(node.get(), u"Columnn", nullptr, nullptr, &size, &stored), kHrInsufficientBuffer);
    EXPECT_EQ(size, 10u);  // "When" and its NUL
    EXPECT_EQ(stored, QXN_TYPE_STRING);
    char16_t buffer[5];
    size = 8;
    EXPECT_EQ(QxnGetAttribute(node.get(), u"Columnn", &asString, buffer, &size, nullptr), kHrInsufficientBuffer);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(QxnGetAttribute(node.get(), u"Columnn", &asString, buffer, &size, nullptr), S_OK);
    EXPECT_EQ(std::u16string(buffer), u"When");

    // Without a size the call only says whether the attribute is there, and its type.
    EXPECT_EQ(QxnGetAttribute(node.get(), u"Count", nullptr, nullptr, nullptr, &stored), S_OK);
    EXPECT_EQ(stored, QXN_TYPE_INT64);
    EXPECT_EQ(QxnGetAttribute(node.get(), u"Missing", nullptr, nullptr, nullptr, &stored), kHrNotFound);
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(QxnDeleteAttribute(node.get(), u"Missing"), kHrNotFound);

    // A long value comes whole through the second call.
    const std::u16string longValue(500, u'v');
    ASSERT_EQ(SetString(node.get(), u"Long", longValue), S_OK);
    EXPECT_EQ(AttributeText(node.get(), u"Long"), longValue);
}

TEST(Attributes, NamesListInInsertionOrderAndOverwritesKeepTheirPlace)
{
    Handle node = Parse(R"(<node B="1" A:i32="2" C:bool="true"/>)");
    ASSERT_EQ(Set(node.get(), u"A", QXN_TYPE_INT64, int64_t{3}), S_OK);
    ASSERT_EQ(QxnDeleteAttribute(node.get(), u"B"), S_OK);
    ASSERT_EQ(SetString(node.get(), u"B", u"again"), S_OK);

    uint32_t size = 0;
    ASSERT_EQ(QxnGetAttributeNames(node.get(), nullptr, &size), kHrInsufficientBuffer);
    EXPECT_EQ(size, 6u);  // characters: "A\0C\0B\0"
    std::u16string names(size, u'?');
    ASSERT_EQ(QxnGetAttributeNames(node.get(), names.data(), &size), S_OK);
    EXPECT_EQ(names, std::u16string(u"A\0C\0B\0", 6));
    EXPECT_EQ(Raw(node.get(), u"A").type, QXN_TYPE_INT64);

    // Names and types live beside the attributes: changing them leaves the attributes whole.
    ASSERT_EQ(QxnSetNodeName(node.get(), QXN_NAME_OWN, u"a much longer name than before"), S_OK);
    ASSERT_EQ(QxnSetNodeType(node.get(), u"T"), S_OK);
    ASSERT_EQ(QxnSetNodeName(node.get(), QXN_NAME_OWN, u"n"), S_OK);
    ASSERT_EQ(SetString(node.get(), u"C", u"a longer value replaces the boolean"), S_OK);
    EXPECT_EQ(Serialize(node.get(), 0, QXN_SERIALIZE_UTF8),
              "<nr><T q:name=\"n\" A:i64=\"3\" C=\"a longer value replaces the boolean\" B=\"again\"/></nr>");
}

// Any value reads as a string; equal values give equal text whatever code stored them.
TEST(Attributes, EveryValueReadsAsCanonicalText)
{
    Handle node = Parse(R"(<node
        S="plain" I32:i32="-5" N32:n32="-5" I64:i64="-5" Big:i64="9223372036854775807"
        T:bool="true" F:bool="false" G:guid="{87074c74-6d4d-4288-92e8-b954789a88bd}"
        Gs:guids="87074C74-6D4D-4288-92E8-B954789A88BD|{00000000-0000-0000-0000-000000000000}"
        Is:i32s="1|-2|0x7FFFFFFF" Ss:strs="a\|b|c\\d|" One:strs="\e" None:strs="" NoInts:i32s=""/>)");
    const std::pair<const char16_t*, const char16_t*> expected[] = {
        {u"S", u"plain"},
        {u"I32", u"-5"},
        {u"N32", u"-5"},
        {u"I64", u"-5"},
        {u"Big", u"9223372036854775807"},
        {u"T", u"true"},
        {u"F", u"false"},
        {u"G", u"{87074C74-6D4D-4288-92E8-B954789A88BD}"},
        {u"Gs", u"{87074C74-6D4D-4288-92E8-B954789A88BD}|{00000000-0000-0000-0000-000000000000}"},
        {u"Is", u"1|-2|2147483647"},
        {u"Ss", u"a\\|b|c\\\\d|"},
        {u"One", u"\\e"},
        {u"None", u""},
        {u"NoInts", u""},
    };
    for (const auto& [name, text] : expected) EXPECT_EQ(AttributeText(node.get(), name), text) << (char)name[0];

    GUID stored;
    const uint16_t asGuid = QXN_TYPE_GUID;
    uint32_t size = sizeof stored;
    ASSERT_EQ(QxnGetAttribute(node.get(), u"G", &asGuid, &stored, &size, nullptr), S_OK);
    EXPECT_TRUE(stored == kGuid);
}

TEST(Attributes, ReadsConvertWhereAConversionExists)
{
    Handle node =
        Parse(R"(<node Num="42" Hex="0x80070490" Bad="12x" Yes="TRUE" Id="87074c74-6d4d-4288-92e8-b954789a88bd"
        Wide:i64="4294967296" Small:i64="-7" On:bool="true" Code:i32="1" Alt:n32="9" Ints:i32s="4|5"
        Ids:guids="{87074C74-6D4D-4288-92E8-B954789A88BD}" Texts:strs="6|7" Words:strs="x|y"/>)");
    auto read = [&](const char16_t* name, uint16_t type, HRESULT* hr) { return Raw(node.get(), name, &type, hr); };
    auto expectValue = [&](const char16_t* name, uint16_t type, auto value) {
        HRESULT hr;
        const RawValue raw = read(name, type, &hr);
        ASSERT_EQ(hr, S_OK) << (char)name[0];
        ASSERT_EQ(raw.bytes.size(), sizeof value);
        EXPECT_EQ(std::memcmp(raw.bytes.data(), &value, sizeof value), 0) << (char)name[0];
    };
    expectValue(u"Num", QXN_TYPE_INT32, int32_t{42});
    expectValue(u"Num", QXN_TYPE_INT64, int64_t{42});
    expectValue(u"Hex", QXN_TYPE_INT32, static_cast<int32_t>(0x80070490u));
    expectValue(u"Yes", QXN_TYPE_BOOL, uint8_t{1});
    expectValue(u"Id", QXN_TYPE_GUID, kGuid);
    expectValue(u"Small", QXN_TYPE_INT32, int32_t{-7});
    expectValue(u"Small", QXN_TYPE_INT32_ALT, int32_t{-7});
    expectValue(u"Alt", QXN_TYPE_INT32, int32_t{9});
    expectValue(u"On", QXN_TYPE_INT32, int32_t{1});
    expectValue(u"Code", QXN_TYPE_BOOL, uint8_t{1});
    expectValue(u"Code", QXN_TYPE_INT32_ARRAY, int32_t{1});  // a scalar is an array of one
    expectValue(u"Id", QXN_TYPE_GUID_ARRAY, kGuid);
    expectValue(u"Texts", QXN_TYPE_INT32_ARRAY, std::array<int32_t, 2>{6, 7});

    HRESULT hr;
    EXPECT_EQ(read(u"Code", QXN_TYPE_STRING_LIST, &hr).bytes.size(), 4u);  // "1" and its NUL
    EXPECT_EQ(read(u"Ints", QXN_TYPE_STRING_LIST, &hr).bytes.size(), 8u);  // "4\0" "5\0"
    EXPECT_EQ(read(u"Ids", QXN_TYPE_STRING_LIST, &hr).bytes.size(), 78u);

    // No conversion, or a value that does not fit: 0x8007000D. An unknown code: E_INVALIDARG.
    for (auto [name, type] : {std::pair{u"Bad", QXN_TYPE_INT32},
                              {u"Wide", QXN_TYPE_INT32},
                              {u"Wide", QXN_TYPE_INT32_ALT},
                              {u"Id", QXN_TYPE_INT64},
                              {u"Code", QXN_TYPE_GUID},
                              {u"Ints", QXN_TYPE_INT32},
                              {u"Ints", QXN_TYPE_GUID_ARRAY},
                              {u"Words", QXN_TYPE_INT32_ARRAY},
                              {u"Num", QXN_TYPE_GUID}}) {
        read(name, type, &hr);
        EXPECT_EQ(hr, kHrInvalidData) << (char)name[0] << " as " << type;
    }
    read(u"Num", 5, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
}

}  // namespace
}  // namespace nodestore_test
