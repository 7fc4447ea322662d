// The text form: the shape the log relies on, exact round trips of every type
// code and of names that are no XML names, hand-written input, and errors.
#include <chrono>
#include <climits>
#include <cstring>

#include "tests/support/NodestoreTestSupport.h"

namespace nodestore_test {
namespace {

std::string Crlf(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

constexpr std::string_view kRequest = R"(<nr>
  <RetrieveCountersRequest q:name="Request 1" RetrieveMethod:i32="1" PartialResult:bool="true">
    <RetrieveCountersSubRequest q:name="Sub1">
      <ConditionsRoot>
        <Condition operator="IN">
          <ConditionValues Columnn="Who" Values:strs="CORP\\alice|CORP\\bob"/>
        </Condition>
      </ConditionsRoot>
      <TimeRange TimeFrom="2024-01-01T00:00:00Z" TimeTill="2024-02-01T00:00:00Z"/>
    </RetrieveCountersSubRequest>
  </RetrieveCountersRequest>
</nr>
)";

TEST(TextForm, SerializesIndentedXmlInsideNr)
{
    Handle request = Parse(kRequest);
    EXPECT_EQ(Serialize(request.get()), Crlf(kRequest));  // first line <nr>, last </nr>, CRLF, two spaces

    EXPECT_EQ(Serialize(request.get(), 0),
              Crlf("<nr>\n  <RetrieveCountersRequest q:name=\"Request 1\" RetrieveMethod:i32=\"1\" "
                   "PartialResult:bool=\"true\"/>\n</nr>\n"));
    const std::string compact = Serialize(request.get(), 1, QXN_SERIALIZE_UTF8);
    EXPECT_EQ(compact,
              "<nr><RetrieveCountersRequest q:name=\"Request 1\" RetrieveMethod:i32=\"1\" "
              "PartialResult:bool=\"true\"><RetrieveCountersSubRequest q:name=\"Sub1\"/>"
              "</RetrieveCountersRequest></nr>");

    // Without the UTF-8 flag the same text comes as UTF-16LE.
    const std::string wide = Serialize(request.get(), 1, 0);
    std::string expectedWide;
    for (char c : compact) expectedWide += {c, '\0'};
    EXPECT_EQ(wide, expectedWide);

    // Several nodes, over several calls, share one wrapper; no node at all still gives it.
    Handle a = Create(u"a"), b = Create(u"b");
    std::string out;
    QxnSerializationContext* context = nullptr;
    ASSERT_EQ(QxnStartSerialization(QXN_SERIALIZE_TEXT, 0x101, AppendBytes, &out, &context), S_OK);
    IQxNode* first[] = {a.get(), b.get()};
    EXPECT_EQ(QxnSerializeNodes(context, first, 2, 0), S_OK);
    EXPECT_EQ(QxnSerializeNodes(context, first, 1, 0), S_OK);
    EXPECT_EQ(QxnFinalizeSerialization(context), S_OK);
    EXPECT_EQ(QxnSerializeNodes(context, first, 1, 0), cvn::E_UNEXPECTED);
    EXPECT_EQ(QxnCloseSerializationContext(context), S_OK);
    EXPECT_EQ(out, Crlf("<nr>\n  <node q:name=\"a\"/>\n  <node q:name=\"b\"/>\n  <node q:name=\"a\"/>\n</nr>\n"));
    EXPECT_EQ(Serialize(std::vector<IQxNode*>{}), "<nr>\r\n</nr>\r\n");
}

// Elements nested depth levels deep: "<a><a>...</a></a>".
std::string Nested(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<a>";
    for (int i = 0; i < depth; ++i) text += "</a>";
    return text;
}

// A chain of nodes depth levels deep, built upwards so that each step is cheap.
Handle Chain(int depth)
{
    Handle top = Create(nullptr, u"a");
    for (int i = 1; i < depth; ++i) {
        Handle parent = Create(nullptr, u"a");
        EXPECT_EQ(QxnAddChild(parent.get(), top.get()), S_OK);
        top = std::move(parent);
    }
    return top;
}

TEST(TextForm, DeepTreesAreCopiedWithoutRecursionAndWrittenDownToTheDepthLimit)
{
    EXPECT_TRUE(Parse("<nr>" + Nested(1000) + "</nr>"));  // the limit itself; deeper text: see the malformed cases
    const std::string marker = "<!-- not written: nodes nested deeper than 1000 levels -->";
    auto upToLimit = [](const std::string& innermost) {
        std::string text = "<nr>";
        for (int i = 1; i < 1000; ++i) text += "<a>";
        text += innermost;
        for (int i = 1; i < 1000; ++i) text += "</a>";
        return text + "</nr>";
    };
    for (const int depth : {1000, 1001, 100000}) {
        Handle chain = Chain(depth);
        IQxNode* raw = nullptr;
        ASSERT_EQ(QxnCloneNode(chain.get(), QXN_DEPTH_ALL, 0, &raw), S_OK);
        Handle copy(raw);
        // Written to the limit; a comment stands for the rest and the call says so, yet the
        // context still finishes the text, which reads back.
        std::string out;
        QxnSerializationContext* context = nullptr;
        ASSERT_EQ(QxnStartSerialization(QXN_SERIALIZE_TEXT, QXN_SERIALIZE_UTF8, AppendBytes, &out, &context), S_OK);
        IQxNode* nodes[] = {copy.get()};
        EXPECT_EQ(QxnSerializeNodes(context, nodes, 1, QXN_DEPTH_ALL), depth > 1000 ? kHrInvalidData : S_OK) << depth;
        EXPECT_EQ(QxnFinalizeSerialization(context), S_OK);
        EXPECT_EQ(QxnCloseSerializationContext(context), S_OK);
        EXPECT_TRUE(out == upToLimit(depth > 1000 ? "<a>" + marker + "</a>" : "<a/>")) << depth;  // too long to print
        EXPECT_TRUE(Parse(out)) << depth;
        // Asked for no more levels than text holds, it is all there.
        EXPECT_TRUE(Serialize(copy.get(), 999, QXN_SERIALIZE_UTF8) == upToLimit("<a/>")) << depth;
    }
    // Indented, the comment has a line of its own.
    Handle deep = Chain(1002);
    std::string indented;
    QxnSerializationContext* context = nullptr;
    ASSERT_EQ(QxnStartSerialization(QXN_SERIALIZE_TEXT, 0x101, AppendBytes, &indented, &context), S_OK);
    IQxNode* nodes[] = {deep.get()};
    EXPECT_EQ(QxnSerializeNodes(context, nodes, 1, QXN_DEPTH_ALL), kHrInvalidData);
    EXPECT_EQ(QxnCloseSerializationContext(context), S_OK);
    EXPECT_NE(indented.find("\r\n" + std::string(2 * 1001, ' ') + marker + "\r\n"), std::string::npos);
}

TEST(TextForm, LongTextReachesTheCallbackInChunks)
{
    // Text longer than a chunk reaches the callback in several calls, UTF-16 the same as UTF-8.
    Handle wide = Parse("<Root>" + std::string(3000, ' ') + "</Root>");
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(QxnAddChild(wide.get(), Create(u"\u00e9l\u00e9ment", u"Item").get()), S_OK);
    t_appendCalls = 0;
    const std::string bytes = Serialize(wide.get(), QXN_DEPTH_ALL, QXN_SERIALIZE_INDENT);
    EXPECT_GT(t_appendCalls, 1);
    const std::string utf8 = Serialize(wide.get());
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), bytes.size());
    std::string narrowed;
    for (char16_t c : units)
        narrowed += c == u'\u00e9' ? std::string("\xC3\xA9") : std::string(1, static_cast<char>(c));
    EXPECT_TRUE(narrowed == utf8) << narrowed.size() << " vs " << utf8.size();
}

TEST(TextForm, SerializationRefusesBadArgumentsAndReportsCallbackFailures)
{
    QxnSerializationContext* context = nullptr;
    std::string out;
    EXPECT_EQ(QxnStartSerialization(2, 0x101, AppendBytes, &out, &context), E_INVALIDARG);
    EXPECT_EQ(QxnStartSerialization(1, 0x103, AppendBytes, &out, &context), E_INVALIDARG);
    EXPECT_EQ(QxnStartSerialization(1, 0x101, nullptr, &out, &context), E_POINTER);
    EXPECT_EQ(context, nullptr);

    constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070);
    auto failing = [](const void*, uint32_t, void*) -> HRESULT { return kDiskFull; };
    ASSERT_EQ(QxnStartSerialization(1, 0x101, failing, nullptr, &context), S_OK);
    Handle node = Create(u"n");
    IQxNode* nodes[] = {node.get()};
    EXPECT_EQ(QxnSerializeNodes(context, nodes, 1, -1), E_INVALIDARG);
    EXPECT_EQ(QxnSerializeNodes(context, nodes, 1, 0), S_OK);  // buffered
    EXPECT_EQ(QxnFinalizeSerialization(context), kDiskFull);
    EXPECT_EQ(QxnCloseSerializationContext(context), S_OK);
}

size_t Length16(const char16_t* text)
{
    return std::char_traits<char16_t>::length(text);
}

void ExpectSameTree(IQxNode* expected, IQxNode* actual)
{
    EXPECT_EQ(Name(actual), Name(expected));
    EXPECT_EQ(Type(actual), Type(expected));
    auto names = [](IQxNode* node) {
        return ReadString([&](char16_t* b, uint32_t* s) { return QxnGetAttributeNames(node, b, s); });
    };
    const std::u16string list = names(expected);
    EXPECT_EQ(names(actual), list);
    for (size_t start = 0; start < list.size(); start += Length16(list.c_str() + start) + 1) {
        const std::u16string name = list.c_str() + start;
        HRESULT hr;
        EXPECT_EQ(Raw(actual, name.c_str(), nullptr, &hr), Raw(expected, name.c_str())) << name.size();
        EXPECT_EQ(hr, S_OK);
    }
    ASSERT_EQ(ChildCount(actual), ChildCount(expected));
    for (uint64_t i = 0; i < ChildCount(expected); ++i)
        ExpectSameTree(Child(expected, i).get(), Child(actual, i).get());
}

Handle RoundTrip(IQxNode* node, uint32_t flags = 0x101)
{
    const std::string text = Serialize(node, QXN_DEPTH_ALL, flags | QXN_SERIALIZE_UTF8);
    Handle back = Parse(text);
    if (back) {
        EXPECT_EQ(Serialize(back.get(), QXN_DEPTH_ALL, flags | QXN_SERIALIZE_UTF8), text);
    }
    return back;
}

TEST(TextForm, EveryTypeCodeRoundTripsExactly)
{
    Handle node = Create(u"values", u"Values");
    const std::u16string tricky = u" &<>\"' \t\r\n]]> \u00e9\u6f22\U0001F600 \x01 end ";
    ASSERT_EQ(SetString(node.get(), u"S", tricky), S_OK);
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    ASSERT_EQ(SetString(node.get(), u"Lone", lone), S_OK);
    ASSERT_EQ(SetString(node.get(), u"Empty", u""), S_OK);
    ASSERT_EQ(Set(node.get(), u"I32", QXN_TYPE_INT32, int32_t{INT32_MIN}), S_OK);
    ASSERT_EQ(Set(node.get(), u"N32", QXN_TYPE_INT32_ALT, int32_t{INT32_MAX}), S_OK);
    ASSERT_EQ(Set(node.get(), u"I64", QXN_TYPE_INT64, int64_t{INT64_MIN}), S_OK);
    ASSERT_EQ(Set(node.get(), u"B", QXN_TYPE_BOOL, uint8_t{0}), S_OK);
    const GUID guids[] = {cvn::MakeGuid(0xFFFFFFFF, 0, 0xABCD, 0x0102, 0xA0B0C0D0E0F0), {}};
    ASSERT_EQ(Set(node.get(), u"G", QXN_TYPE_GUID, guids[0]), S_OK);
    ASSERT_EQ(Set(node.get(), u"Gs", QXN_TYPE_GUID_ARRAY, guids), S_OK);
    ASSERT_EQ(QxnSetAttribute(node.get(), u"NoGs", QXN_TYPE_GUID_ARRAY, nullptr, 0), S_OK);
    ASSERT_EQ(Set(node.get(), u"Is", QXN_TYPE_INT32_ARRAY, std::array<int32_t, 3>{INT32_MIN, 0, 7}), S_OK);
    ASSERT_EQ(QxnSetAttribute(node.get(), u"NoIs", QXN_TYPE_INT32_ARRAY, nullptr, 0), S_OK);
    const char16_t list[] = u"\0a|b\0c\\\0\\e\0\u00e9\0";  // "", "a|b", "c\", "\e", "é"
    ASSERT_EQ(QxnSetAttribute(node.get(), u"Ss", QXN_TYPE_STRING_LIST, list, sizeof list - 2), S_OK);
    ASSERT_EQ(QxnSetAttribute(node.get(), u"OneEmpty", QXN_TYPE_STRING_LIST, u"", 2), S_OK);
    ASSERT_EQ(QxnSetAttribute(node.get(), u"NoSs", QXN_TYPE_STRING_LIST, nullptr, 0), S_OK);
    ASSERT_EQ(QxnAddChild(node.get(), Create(u"\tname \"q\"").get()), S_OK);

    for (uint32_t flags : {0x101u, 0x100u}) {
        Handle back = RoundTrip(node.get(), flags);
        ASSERT_TRUE(back);
        ExpectSameTree(node.get(), back.get());
    }
    const std::string text = Serialize(node.get());
    EXPECT_NE(text.find(R"(S=" &amp;&lt;&gt;&quot;' &#x9;&#xD;&#xA;]]&gt; é漢😀 &#x1; end ")"), std::string::npos)
        << text;
    EXPECT_NE(text.find(R"(Lone="a&#xD800;b&#xDC00;")"), std::string::npos) << text;
    EXPECT_NE(text.find(R"(Ss:strs="|a\|b|c\\|\\e|é" OneEmpty:strs="\e" NoSs:strs="")"), std::string::npos) << text;
    EXPECT_NE(text.find(R"(Gs:guids="{FFFFFFFF-0000-ABCD-0102-A0B0C0D0E0F0}|{00000000-0000-0000-0000-000000000000}")"),
              std::string::npos);
}

TEST(TextForm, NamesThatAreNoXmlNamesRoundTrip)
{
    Handle root = Create(nullptr, u"Root");
    for (const char16_t* type : {u"", u"node", u"nr", u"two words", u"x:y", u"\u00dcnic\u00f8de", u"1st"}) {
        Handle child = Create(u"c", type);
        ASSERT_EQ(QxnAddChild(root.get(), child.get()), S_OK);
    }
    Handle odd = Child(root.get(), 3);
    ASSERT_EQ(SetString(odd.get(), u"Plain", u"1"), S_OK);
    ASSERT_EQ(Set(odd.get(), u"has space", QXN_TYPE_INT32, int32_t{2}), S_OK);
    ASSERT_EQ(SetString(odd.get(), u"After", u"3"), S_OK);  // stays after "has space"
    ASSERT_EQ(SetString(odd.get(), u"a:b", u"4"), S_OK);
    ASSERT_EQ(Set(odd.get(), u"q", QXN_TYPE_BOOL, uint8_t{1}), S_OK);

    Handle back = RoundTrip(root.get());
    ASSERT_TRUE(back);
    ExpectSameTree(root.get(), back.get());
    EXPECT_EQ(Serialize(root.get()), Crlf(R"(<nr>
  <Root>
    <node q:name="c"/>
    <node q:name="c" q:type="node"/>
    <node q:name="c" q:type="nr"/>
    <node q:name="c" q:type="two words" Plain="1">
      <q:attr name="has space" type="i32" value="2"/>
      <q:attr name="After" value="3"/>
      <q:attr name="a:b" value="4"/>
      <q:attr name="q" type="bool" value="true"/>
    </node>
    <node q:name="c" q:type="x:y"/>
    <Ünicøde q:name="c"/>
    <node q:name="c" q:type="1st"/>
  </Root>
</nr>
)"));
}

TEST(TextForm, ParserTakesHandWrittenText)
{
    // No wrapper, several nodes, a declaration, a BOM, comments and the lenient spellings.
    auto nodes = ParseAll(
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- two nodes -->\n"
        "<A Code:i32=\"0x80070490\" On:bool=\"1\" Id:guid=\"87074c74-6d4d-4288-92e8-b954789a88bd\""
        " Text:str=\"line\r\n two\"/>\n"
        "<B><q:attr name=\"x y\" value=\"free\"/><!-- c --><C/></B>");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(AttributeText(nodes[0].get(), u"Code"), u"-2147023728");
    EXPECT_EQ(AttributeText(nodes[0].get(), u"On"), u"true");
    EXPECT_EQ(AttributeText(nodes[0].get(), u"Id"), u"{87074C74-6D4D-4288-92E8-B954789A88BD}");
    EXPECT_EQ(AttributeText(nodes[0].get(), u"Text"), u"line\n two");  // line ends normalized, spaces kept
    EXPECT_EQ(AttributeText(nodes[1].get(), u"x y"), u"free");
    EXPECT_EQ(ChildCount(nodes[1].get()), 1u);
    EXPECT_EQ(ParseAll("").size(), 0u);
    EXPECT_EQ(ParseAll("<nr/>").size(), 0u);

    // Too many nodes for the caller's array: the count, and nothing created.
    IQxNode* one[1] = {};
    uint64_t count = 0;
    const std::string_view three = "<nr><a/><b/><c/></nr>";
    EXPECT_EQ(QxnParseText(three.data(), three.size(), one, 1, &count, nullptr, 0), kHrInsufficientBuffer);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(one[0], nullptr);
}

// The parser reads XML itself: references, quotes, line ends, what it skips and what it refuses.
TEST(TextForm, ParserReadsTheXmlThatHandWrittenTextUses)
{
    const std::pair<std::string_view, std::string_view> read[] = {
        {"<A v='say \"x\"' w = \"1\" />", R"(<nr><A v="say &quot;x&quot;" w="1"/></nr>)"},
        {R"(<A v="&amp;&lt;&gt;&quot;&apos;&#65;&#x42;&#x1F600;&#xD800;|&unknown;&#;&#x;&#12a;"/>)",
         R"(<nr><A v="&amp;&lt;&gt;&quot;'AB😀&#xD800;|&amp;unknown;&amp;#;&amp;#x;&amp;#12a;"/></nr>)"},
        {R"(<A v="ab&#0;cd" w="x"/>)", R"(<nr><A v="ab" w="x"/></nr>)"},  // node text holds no NUL
        {"<A v=\"a\r\nb\rc\"/>", R"(<nr><A v="a&#xA;b&#xA;c"/></nr>)"},
        {"<!DOCTYPE nr [ <!ELEMENT a (b)> <!-- > --> <?pi > ?> <![IGNORE[ <!x> ]]> ]>\n<nr><a/></nr>",
         "<nr><a/></nr>"},
        {"<a><!-- <b/> --></a><?pi x?><c\n/>", "<nr><a/><c/></nr>"},
    };
    for (const auto& [text, expected] : read) {
        std::vector<Handle> nodes = ParseAll(text);
        std::vector<IQxNode*> raw;
        for (const Handle& node : nodes) raw.push_back(node.get());
        EXPECT_EQ(Serialize(raw, QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8), expected) << text;
    }
    // Values of every size (the parse lays each node out in one piece of its memory).
    for (const size_t length : {15u, 16u, 17u, 1500u, 5000u, 7000u, 70000u}) {
        const std::string text = "<nr><A v=\"" + std::string(length, 'x') + "\" w=\"\xC3\xA9\"/></nr>";
        EXPECT_EQ(Serialize(Parse(text).get(), QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8), text) << length;
    }
    const std::pair<std::string_view, std::string_view> refused[] = {
        {"<a/>x", "line 1, column 5: text is not allowed"},
        {"<a><![CDATA[x]]></a>", "line 1, column 13: text is not allowed"},
        {"<a><?xml version=\"1.0\"?></a>", "malformed declaration"},
        {"<a><!DOCTYPE a></a>", "malformed DOCTYPE"},
        {"<!DOCTYPE a [ <b> ]><a/>", "malformed DOCTYPE"},
        {R"(<a v="&#x110000;"/>)", "line 1, column 7: attribute 'v': invalid UTF-8"},
        {R"(<a v="1"w="2"/>)", "line 1, column 9: malformed attribute"},
        {"<a v=\"1/>", "line 1, column 7: malformed attribute"},
        {"<a", "line 1, column 3: malformed start tag"},
        {"<a></b>", "line 1, column 6: end tag does not match"},
        {"<a>", "line 1, column 4: end tag does not match"},
        {"</a>", "line 1, column 3: end tag does not match"},
        {"<!-- x", "malformed comment"},
        {"< a/>", "line 1, column 2: malformed tag"},
    };
    for (const auto& [text, message] : refused) {
        uint64_t count = 0;
        char error[256] = "unset";
        EXPECT_EQ(QxnParseText(text.data(), text.size(), nullptr, 0, &count, error, sizeof error), kHrInvalidData)
            << text;
        EXPECT_NE(std::string(error).find(message), std::string::npos) << text << "\n  gave: " << error;
    }
}

TEST(TextForm, ManyAttributesAreCheckedForDuplicatesInLinearTime)
{
    constexpr int kCount = 200000;
    for (const bool asElements : {false, true}) {
        auto attribute = [asElements](int i) {
            const std::string n = std::to_string(i);
            return asElements ? "<q:attr name=\"a " + n + "\" type=\"i32\" value=\"" + n + "\"/>"
                              : " a" + n + ":i32=\"" + n + "\"";
        };
        std::string text = asElements ? "<A>" : "<A";
        for (int i = 0; i < kCount; ++i) text += attribute(i);
        const std::string end = asElements ? "</A>" : "/>";
        const auto start = std::chrono::steady_clock::now();
        Handle node = Parse(text + end);
        // A check against every earlier name took minutes here; a linear one well under a second.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << asElements;
        ASSERT_TRUE(node);
        const std::u16string last = asElements ? u"a 199999" : u"a199999";
        EXPECT_EQ(Raw(node.get(), last.c_str()), (RawValue{QXN_TYPE_INT32, {0x3F, 0x0D, 0x03, 0x00}}));
        uint32_t size = 0, expected = 0;
        for (int i = 0; i < kCount; ++i) expected += (asElements ? 3 : 2) + std::to_string(i).size();  // "a[ ]<i>\0"
        EXPECT_EQ(QxnGetAttributeNames(node.get(), nullptr, &size), kHrInsufficientBuffer);
        EXPECT_EQ(size, expected);

        // The first name once more, at the end, is found and pointed at.
        text += attribute(0) + end;
        IQxNode* nodes[1] = {};
        uint64_t count = 0;
        char error[256] = {};
        EXPECT_EQ(QxnParseText(text.data(), text.size(), nodes, 1, &count, error, sizeof error), kHrInvalidData);
        const std::string column = std::to_string(text.size() - attribute(0).size() - end.size() + (asElements ? 15 : 2));
        EXPECT_STREQ(error, ("line 1, column " + column + ": duplicate attribute '" + (asElements ? "a 0" : "a0") + "'").c_str());
    }
}

TEST(TextForm, MalformedTextSaysWhereAndWhat)
{
    const std::string tooDeep[] = {"<nr>" + Nested(1001) + "</nr>", Nested(30000), Nested(100000)};
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"<nr>\n  <A>\n</nr>", "line 3, column 3: end tag does not match"},
        {"<nr>\n  <A Count:i64=\"12x\"/>\n</nr>",
         "line 2, column 17: attribute 'Count': '12x' is not a 64-bit integer"},
        {"<A\n   Top:i33=\"1\"/>", "line 2, column 4: attribute 'Top': unknown type 'i33' (known: str, i32"},
        {"<A>text</A>", "line 1, column 4: text is not allowed"},
        {"<A X=\"1\" X:i32=\"2\"/>", "line 1, column 10: duplicate attribute 'X'"},
        {"<A X=\"1\">\n<q:attr name=\"Y\"/><q:attr name=\"X\"/></A>", "line 2, column 33: duplicate attribute 'X'"},
        {std::string_view("<a/>\0<<<<not xml", 16), "line 1, column 5: NUL character"},
        {std::string_view("<a/>\0", 5), "line 1, column 5: NUL character"},
        {tooDeep[0], "line 1, column 3006: element <a> is nested deeper than 1000 levels, the most node text may hold"},
        {tooDeep[1], "line 1, column 3002: element <a> is nested deeper than 1000 levels"},
        {tooDeep[2], "line 1, column 3002: element <a> is nested deeper than 1000 levels"},
        {"<A q:type=\"B\"/>", "line 1, column 4: q:type belongs on <node>"},
        {"<A q:nmae=\"B\"/>", "line 1, column 4: unknown attribute 'q:nmae'"},
        {"<A V:strs=\"CORP\\alice\"/>", "line 1, column 12: attribute 'V': bad escape in string list"},
        {"<A V:i32s=\"1|x\"/>", "attribute 'V': item 2, 'x', is not a 32-bit integer"},
        {"<A V:bool=\"\"/>", "line 1, column 12: attribute 'V': '' is not a boolean"},
        {"<A Name=\"\xC3\x28\"/>", "line 1, column 10: attribute 'Name': invalid UTF-8"},
        {"<a:b/>", "line 1, column 2: element <a:b>: names with ':' are reserved"},
        {"<q:attr name=\"x\"/>", "line 1, column 2: <q:attr> belongs inside"},
        {"<A><q:attr value=\"1\"/></A>", "<q:attr> needs a name attribute"},
        {"<A B=1/>", "line 1, column 6: malformed attribute"},
        {"<nr x=\"1\"><A/></nr>", "the <nr> wrapper takes no attributes"},
        {"<é>\n<B/>\n<C Ü:i32=\"é\"/></é>", "line 3, column 11: attribute 'Ü': 'é' is not a 32-bit integer"},
    };
    for (const auto& [text, message] : cases) {  // no node comes out of a failed parse
        IQxNode* nodes[4] = {};
        uint64_t count = 99;
        char error[512] = "unset";
        EXPECT_EQ(QxnParseText(text.data(), text.size(), nodes, 4, &count, error, sizeof error), kHrInvalidData) << text;
        EXPECT_EQ(count + reinterpret_cast<uintptr_t>(nodes[0]), 0u);
        EXPECT_NE(std::string(error).find(message), std::string::npos) << text << "\n  gave: " << error;
    }

    // The message is cut to the caller's buffer, never in the middle of a character.
    const std::string_view text = "<A V:i32=\"ééé\"/>";
    char error[37];
    uint64_t count = 0;
    EXPECT_EQ(QxnParseText(text.data(), text.size(), nullptr, 0, &count, error, sizeof error), kHrInvalidData);
    EXPECT_STREQ(error, "line 1, column 11: attribute 'V': '");
}

}  // namespace
}  // namespace nodestore_test
