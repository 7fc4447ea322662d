// The JSON form of nodes: exact both ways, and a malformed document refused
// with the place that is wrong.
#include <gtest/gtest.h>

#include "host/api/ApiError.h"
#include "host/api/NodeJson.h"

namespace cvn::api {
namespace {

TEST(NodeJsonTest, EveryTypeAndAwkwardNameSurvivesBothWays)
{
    // Every type code, names that read as a type suffix or a number, unnamed and untyped nodes, hostile text.
    const std::string text = R"(<nr><RetrieveCountersRequest q:name="D &quot;x&quot;" S="a&#xA;&lt;b&gt;&#x9;'\" I:i32="-2147483648"
        N:n32="7" L:i64="9223372036854775807" B:bool="false" G:guid="{983D55F8-99DB-449C-BD8F-A1473283FC07}"
        Gs:guids="{983D55F8-99DB-449C-BD8F-A1473283FC07}|{00000000-0000-0000-0000-000000000000}" Is:i32s="1|-2"
        Ss:strs="CORP\\a|x\|y||z" E:strs="" Zero="">
      <q:attr name="a:b" value="colon"/><q:attr name="12" type="i32" value="3"/>
      <node><node q:type="two words" q:name="&#x1F600;"/></node>
    </RetrieveCountersRequest></nr>)";
    const QxNodePtr node = QxNodePtr::Parse(text);
    const Json json = NodeToJson(node);
    EXPECT_EQ(json["attributes"]["Ss:strs"], Json::array({"CORP\\a", "x|y", "", "z"}));
    EXPECT_EQ(json["attributes"]["L:i64"], INT64_MAX);
    EXPECT_TRUE(json["attributes"].contains("a:b:str"));
    EXPECT_TRUE(json["attributes"].contains("12:i32"));
    EXPECT_FALSE(json["children"][0].contains("type"));
    const QxNodePtr back = JsonToNode(Json::parse(json.dump()));
    EXPECT_EQ(back.ToText(), node.ToText());
    EXPECT_EQ(NodeToJson(back).dump(), json.dump());
}

TEST(NodeJsonTest, AMalformedDocumentIsRefusedNamingThePlace)
{
    const struct {
        const char* json;
        const char* place;
    } cases[] = {
        {R"([1])", "a node is a JSON object"},
        {R"({"type": 3})", "'type'"},
        {R"({"kind": "x"})", "'kind': unknown member"},
        {R"({"attributes": []})", "'attributes'"},
        {R"({"attributes": {"Top:i33": 1}})", "unknown type 'i33'"},
        {R"({"attributes": {"Top:i32": 2147483648}})", "'attributes.Top:i32': 2147483648 is out of range"},
        {R"({"attributes": {"Top:i32": 1.5}})", "an integer is needed"},
        {R"({"attributes": {"L:i64": 18446744073709551615}})", "out of range"},
        {R"({"attributes": {"B:bool": "true"}})", "true or false"},
        {R"({"attributes": {"G:guid": "{nope}"}})", "is not a GUID"},
        {R"({"attributes": {"Ss:strs": ["a", 1]}})", "'attributes.Ss:strs[1]'"},
        {R"({"attributes": {"S": "a\u0000b"}})", "NUL"},
        {R"({"children": [{"children": [{"name": 1}]}]})", "'children[0].children[0].name'"},
    };
    for (const auto& c : cases) {
        try {
            JsonToNode(Json::parse(c.json));
            ADD_FAILURE() << c.json << " was accepted";
        } catch (const ApiError& error) {
            EXPECT_EQ(error.Status(), 400) << c.json;
            EXPECT_NE(std::string(error.what()).find(c.place), std::string::npos) << c.json << ": " << error.what();
        }
    }
    // Nesting past the node tree's limit is refused, not walked to the end of the stack.
    std::string deep;
    for (int i = 0; i < 1100; ++i) deep += R"({"children": [)";
    deep += "{}";
    for (int i = 0; i < 1100; ++i) deep += "]}";
    EXPECT_THROW(JsonToNode(Json::parse(deep)), ApiError);
}

}  // namespace
}  // namespace cvn::api
