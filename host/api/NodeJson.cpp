// The JSON form of node trees.
#include "host/api/NodeJson.h"

#include <array>
#include <cstring>

#include "common/Helpers/PrimitiveText.h"
#include "host/api/ApiError.h"
#include "platform/nodestore/TextDepth.h"

namespace cvn::api {

namespace {

struct TypeName {
    uint32_t code;
    const char* suffix;
};
// The text form's suffixes; a string has none.
constexpr std::array<TypeName, 9> kTypes{{{QXN_TYPE_STRING, "str"},
                                          {QXN_TYPE_INT32, "i32"},
                                          {QXN_TYPE_INT32_ALT, "n32"},
                                          {QXN_TYPE_INT64, "i64"},
                                          {QXN_TYPE_BOOL, "bool"},
                                          {QXN_TYPE_GUID, "guid"},
                                          {QXN_TYPE_GUID_ARRAY, "guids"},
                                          {QXN_TYPE_INT32_ARRAY, "i32s"},
                                          {QXN_TYPE_STRING_LIST, "strs"}}};

const char* SuffixOf(uint32_t code)
{
    for (const TypeName& type : kTypes)
        if (type.code == code) return type.suffix;
    return nullptr;
}

// A name that would read back as another name or type, or that a browser would reorder, carries ":str".
bool NeedsStringSuffix(const std::string& name)
{
    if (name.empty() || name.find(':') != std::string::npos) return true;
    return name.find_first_not_of("0123456789") == std::string::npos;
}

Json AttributeValue(const QxNodePtr& node, const std::string& name, uint32_t code)
{
    switch (code) {
    case QXN_TYPE_INT32:
    case QXN_TYPE_INT32_ALT: return node.GetRequiredAttribute<int32_t>(name);
    case QXN_TYPE_INT64: return node.GetRequiredAttribute<int64_t>(name);
    case QXN_TYPE_BOOL: return node.GetRequiredAttribute<bool>(name);
    case QXN_TYPE_GUID: return GuidToText(node.GetRequiredAttribute<GUID>(name));
    case QXN_TYPE_GUID_ARRAY: {
        Json items = Json::array();
        for (const GUID& guid : node.GetRequiredAttribute<std::vector<GUID>>(name)) items.push_back(GuidToText(guid));
        return items;
    }
    case QXN_TYPE_INT32_ARRAY: return node.GetRequiredAttribute<std::vector<int32_t>>(name);
    case QXN_TYPE_STRING_LIST: return node.GetRequiredAttribute<std::vector<std::string>>(name);
    default: return node.GetAttributeOr(name, "");  // a string, or a code without a form of its own: its text
    }
}

Json ToJson(const QxNodePtr& node, int depth)
{
    if (depth > nodestore::kMaxTextDepth)
        throw ApiError(500, kHrInvalidData, "the answer is nested deeper than " +
                                                std::to_string(nodestore::kMaxTextDepth) + " levels");
    Json json = Json::object();
    if (std::string type = node.GetType(); !type.empty()) json["type"] = std::move(type);
    if (std::string name = node.GetName(); !name.empty()) json["name"] = std::move(name);
    Json attributes = Json::object();
    for (const std::string& name : node.GetAttributeNames()) {
        uint32_t code = 0;
        node.HasAttribute(name, &code);
        const char* suffix = SuffixOf(code);
        std::string key = name;
        if (suffix && code != QXN_TYPE_STRING) key.append(":").append(suffix);
        else if (NeedsStringSuffix(name)) key.append(":str");
        attributes[key] = AttributeValue(node, name, code);
    }
    if (!attributes.empty()) json["attributes"] = std::move(attributes);
    Json children = Json::array();
    for (const QxNodePtr& child : node.GetChildren()) children.push_back(ToJson(child, depth + 1));
    if (!children.empty()) json["children"] = std::move(children);
    return json;
}

[[noreturn]] void Refuse(const std::string& path, const std::string& message)
{
    throw ApiError(400, kHrInvalidData, (path.empty() ? "the document" : "'" + path + "'") + ": " + message, path);
}

const char* KindOf(const Json& value)
{
    return value.type_name();
}

std::string Text(const Json& value, const std::string& path)
{
    if (!value.is_string()) Refuse(path, std::string("a string is needed, not ") + KindOf(value));
    return value.get<std::string>();
}

int64_t Integer(const Json& value, const std::string& path, int64_t low, int64_t high)
{
    if (!value.is_number_integer()) Refuse(path, std::string("an integer is needed, not ") + KindOf(value));
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high))
        Refuse(path, value.dump() + " is out of range");
    const int64_t number = value.get<int64_t>();
    if (number < low || number > high) Refuse(path, value.dump() + " is out of range");
    return number;
}

GUID Guid(const Json& value, const std::string& path)
{
    GUID guid{};
    if (!ParseGuidText(Text(value, path), guid)) Refuse(path, "'" + value.get<std::string>() + "' is not a GUID");
    return guid;
}

const Json& Array(const Json& value, const std::string& path)
{
    if (!value.is_array()) Refuse(path, std::string("an array is needed, not ") + KindOf(value));
    return value;
}

void SetAttribute(const QxNodePtr& node, const std::string& key, const Json& value, const std::string& path)
{
    std::string name = key;
    uint32_t code = QXN_TYPE_STRING;
    if (const size_t colon = key.rfind(':'); colon != std::string::npos) {
        const std::string suffix = key.substr(colon + 1);
        bool known = false;
        for (const TypeName& type : kTypes)
            if (suffix == type.suffix) {
                code = type.code;
                known = true;
            }
        if (!known)
            Refuse(path, "unknown type '" + suffix + "' (known: str, i32, n32, i64, bool, guid, guids, i32s, strs)");
        name = key.substr(0, colon);
    }
    if (name.empty()) Refuse(path, "an attribute needs a name");
    if (node.HasAttribute(name)) Refuse(path, "duplicate attribute '" + name + "'");
    switch (code) {
    case QXN_TYPE_STRING: node.SetAttribute(name, Text(value, path)); break;
    case QXN_TYPE_INT32: node.SetAttribute(name, static_cast<int32_t>(Integer(value, path, INT32_MIN, INT32_MAX))); break;
    case QXN_TYPE_INT32_ALT: {
        const auto number = static_cast<int32_t>(Integer(value, path, INT32_MIN, INT32_MAX));
        node.SetAttributeRaw(name, QXN_TYPE_INT32_ALT, &number, sizeof(number));
        break;
    }
    case QXN_TYPE_INT64: node.SetAttribute(name, Integer(value, path, INT64_MIN, INT64_MAX)); break;
    case QXN_TYPE_BOOL:
        if (!value.is_boolean()) Refuse(path, std::string("true or false is needed, not ") + KindOf(value));
        node.SetAttribute(name, value.get<bool>());
        break;
    case QXN_TYPE_GUID: node.SetAttribute(name, Guid(value, path)); break;
    case QXN_TYPE_GUID_ARRAY: {
        std::vector<GUID> items;
        for (size_t i = 0; i < Array(value, path).size(); ++i)
            items.push_back(Guid(value[i], path + "[" + std::to_string(i) + "]"));
        node.SetAttribute(name, items);
        break;
    }
    case QXN_TYPE_INT32_ARRAY: {
        std::vector<int32_t> items;
        for (size_t i = 0; i < Array(value, path).size(); ++i)
            items.push_back(static_cast<int32_t>(Integer(value[i], path + "[" + std::to_string(i) + "]", INT32_MIN, INT32_MAX)));
        node.SetAttribute(name, items);
        break;
    }
    default: {
        std::vector<std::string> items;
        for (size_t i = 0; i < Array(value, path).size(); ++i) {
            items.push_back(Text(value[i], path + "[" + std::to_string(i) + "]"));
            // Node text holds no NUL, and a list item ends at one.
            if (items.back().find('\0') != std::string::npos) Refuse(path, "a string holds a NUL character");
        }
        node.SetAttribute(name, items);
    }
    }
}

QxNodePtr FromJson(const Json& json, const std::string& path, int depth)
{
    if (depth > nodestore::kMaxTextDepth)
        Refuse(path, "nested deeper than " + std::to_string(nodestore::kMaxTextDepth) + " levels, the most a node tree may hold");
    if (!json.is_object()) Refuse(path, std::string("a node is a JSON object, not ") + KindOf(json));
    const std::string at = path.empty() ? "" : path + ".";
    std::string type;
    std::string name;
    for (const auto& [key, value] : json.items()) {
        if (key == "type") type = Text(value, at + key);
        else if (key == "name") name = Text(value, at + key);
        else if (key != "attributes" && key != "children")
            Refuse(at + key, "unknown member (a node has type, name, attributes and children)");
    }
    for (const std::string* text : {&type, &name})
        if (text->find('\0') != std::string::npos) Refuse(path, "a name or type holds a NUL character");
    const QxNodePtr node = QxNodePtr::Create(name, type);
    if (const auto attributes = json.find("attributes"); attributes != json.end()) {
        if (!attributes->is_object()) Refuse(at + "attributes", std::string("an object is needed, not ") + KindOf(*attributes));
        for (const auto& [key, value] : attributes->items()) {
            if (key.find('\0') != std::string::npos) Refuse(at + "attributes", "a name holds a NUL character");
            if (value.is_string() && value.get_ref<const std::string&>().find('\0') != std::string::npos)
                Refuse(at + "attributes." + key, "a string holds a NUL character");
            SetAttribute(node, key, value, at + "attributes." + key);
        }
    }
    if (const auto children = json.find("children"); children != json.end()) {
        if (!children->is_array()) Refuse(at + "children", std::string("an array is needed, not ") + KindOf(*children));
        for (size_t i = 0; i < children->size(); ++i)
            node.AddChild(FromJson((*children)[i], at + "children[" + std::to_string(i) + "]", depth + 1));
    }
    return node;
}

}  // namespace

Json NodeToJson(const QxNodePtr& node) { return ToJson(node, 1); }

QxNodePtr JsonToNode(const Json& json) { return FromJson(json, "", 1); }

}  // namespace cvn::api
