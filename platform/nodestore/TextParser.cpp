// The text form parser (see TextParser.h).
#include "platform/nodestore/TextParser.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include <pugixml.hpp>

#include "platform/nodestore/TextDepth.h"
#include "platform/nodestore/TextFormSyntax.h"
#include "platform/nodestore/Utf.h"
#include "platform/nodestore/ValueText.h"

namespace cvn::nodestore {

namespace {

using namespace textform;

constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000E);

// pugixml keeps attribute whitespace as written: values round-trip exactly.
constexpr unsigned kParseFlags = (pugi::parse_default & ~pugi::parse_wconv_attribute) | pugi::parse_fragment;

const char* DescribeStatus(pugi::xml_parse_status status) noexcept
{
    switch (status) {
        case pugi::status_unrecognized_tag:
            return "malformed tag";
        case pugi::status_bad_pi:
            return "malformed declaration or processing instruction";
        case pugi::status_bad_comment:
            return "malformed comment";
        case pugi::status_bad_cdata:
            return "malformed CDATA section";
        case pugi::status_bad_doctype:
            return "malformed DOCTYPE";
        case pugi::status_bad_pcdata:
            return "malformed text";
        case pugi::status_bad_start_element:
            return "malformed start tag";
        case pugi::status_bad_attribute:
            return "malformed attribute (write name=\"value\")";
        case pugi::status_bad_end_element:
            return "malformed end tag";
        case pugi::status_end_element_mismatch:
            return "end tag does not match the open element, or an element is not closed";
        default:
            return "malformed XML";
    }
}

std::string Quote(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

// The attribute names of one node: scanned while few, hashed beyond, so that a node with
// very many attributes is checked for duplicates in linear time.
class NameSet {
public:
    void Clear()
    {
        m_few.clear();
        if (!m_many.empty()) m_many = {};  // clearing keeps (and walks) every bucket
    }
    /// False when the name is in the set already.
    bool Insert(std::string_view name)
    {
        if (m_many.empty()) {
            for (std::string_view earlier : m_few)
                if (earlier == name) return false;
            if (m_few.size() < kFew) {
                m_few.push_back(name);
                return true;
            }
            m_many.reserve(2 * kFew);
            m_many.insert(m_few.begin(), m_few.end());
        }
        return m_many.insert(name).second;
    }

private:
    static constexpr size_t kFew = 16;
    std::vector<std::string_view> m_few;
    std::unordered_set<std::string_view> m_many;
};

class Parser {
public:
    Parser(std::string_view text, std::string& error) : m_text(text), m_buffer(text), m_error(error) {}

    HRESULT Run(std::vector<TreePtr>& roots)
    {
        // pugixml would end the text at a NUL and report the rest as parsed.
        if (const void* nul = std::memchr(m_text.data(), '\0', m_text.size()))
            return FailAt(static_cast<size_t>(static_cast<const char*>(nul) - m_text.data()),
                          "NUL character: node text holds none, so the length given reaches past its end");
        pugi::xml_document document;
        const pugi::xml_parse_result result =
            document.load_buffer_inplace(m_buffer.data(), m_buffer.size(), kParseFlags, pugi::encoding_utf8);
        if (result.status == pugi::status_out_of_memory) return kOutOfMemory;
        if (!result) return FailAt(static_cast<size_t>(result.offset), DescribeStatus(result.status));
        for (pugi::xml_node top : document.children()) {
            if (top.type() == pugi::node_element && std::string_view(top.name()) == kWrapper) {
                if (top.first_attribute())
                    return Fail(top.first_attribute().name(), "the <nr> wrapper takes no attributes");
                for (pugi::xml_node child : top.children())
                    if (const HRESULT hr = TopLevel(child, roots); hr < 0) return hr;
            } else if (const HRESULT hr = TopLevel(top, roots); hr < 0) {
                return hr;
            }
        }
        return S_OK;
    }

private:
    HRESULT TopLevel(pugi::xml_node xml, std::vector<TreePtr>& roots)
    {
        if (xml.type() != pugi::node_element) return Content(xml);
        if (IsAttrElement(xml.name()))
            return Fail(xml.name(), "<q:attr> belongs inside the element of the node that has the attribute");
        TreePtr root(new Node);
        roots.push_back(std::move(root));
        return Build(xml, roots.back().get());
    }

    // Fills node from element and its subtree, walking without recursion.
    HRESULT Build(pugi::xml_node element, Node* node)
    {
        struct Pending {
            pugi::xml_node xml;
            Node* target;
            int level;  // 1 for a top-level node
        };
        std::vector<Pending> pending{{element, node, 1}};
        while (!pending.empty()) {
            auto [xml, target, level] = pending.back();
            pending.pop_back();
            if (const HRESULT hr = Element(xml, *target); hr < 0) return hr;
            size_t elements = 0;
            for (pugi::xml_node child = xml.first_child(); child; child = child.next_sibling())
                elements += child.type() == pugi::node_element;
            target->children.reserve(elements);
            for (pugi::xml_node child = xml.first_child(); child; child = child.next_sibling()) {
                if (child.type() != pugi::node_element) {
                    if (const HRESULT hr = Content(child); hr < 0) return hr;
                } else if (IsAttrElement(child.name())) {
                    if (const HRESULT hr = AttrElement(child, *target); hr < 0) return hr;
                } else if (level >= kMaxTextDepth) {
                    return Fail(child.name(), "element <" + std::string(child.name()) + "> is nested deeper than " +
                                                  std::to_string(kMaxTextDepth) +
                                                  " levels, the most node text may hold");
                } else {
                    Node* created = new Node;
                    created->parent = target;
                    target->children.push_back(created);  // reserved: cannot fail
                    pending.push_back({child, created, level + 1});
                }
            }
        }
        return S_OK;
    }

    static bool IsAttrElement(const char* tag) noexcept
    {
        return tag[0] == 'q' && tag[1] == ':' && tag == kAttrElement;
    }

    HRESULT Content(pugi::xml_node xml)
    {
        if (xml.type() == pugi::node_pcdata || xml.type() == pugi::node_cdata)
            return Fail(xml.value(), "text is not allowed between elements; values belong in attributes");
        return S_OK;  // comments, declarations and processing instructions are skipped by the parse flags
    }

    HRESULT Element(pugi::xml_node xml, Node& node)
    {
        const std::string_view tag = xml.name();
        const bool untyped = tag == kUntypedTag;
        std::u16string_view type, name;
        if (!untyped) {
            if (Find(tag, ':') != std::string_view::npos)
                return Fail(tag.data(), "element <" + std::string(tag) +
                                            ">: names with ':' are reserved; write <node q:type=\"" + std::string(tag) +
                                            "\"> for such a node type");
            if (!Utf16(tag, m_type, type)) return Fail(tag.data(), "invalid UTF-8");
        }
        // One pass takes the name, the type, and the room the attributes need (an estimate: UTF-16
        // takes at most two bytes per UTF-8 byte, and no list much more than its text), so that
        // the node's data is laid out in one allocation.
        m_attributes.clear();
        m_names.Clear();
        size_t room = 0;
        for (pugi::xml_attribute xa = xml.first_attribute(); xa; xa = xa.next_attribute()) {
            const std::string_view key = xa.name();
            const std::string_view value = xa.value();
            if (key.size() > 2 && key[0] == 'q' && key[1] == ':') {
                if (key == kNameAttr) {
                    if (!Utf16(value, m_name, name)) return Fail(value.data(), "invalid UTF-8");
                } else if (key == kTypeAttr) {
                    if (!untyped)
                        return Fail(key.data(),
                                    "q:type belongs on <node>; here the tag <" + std::string(tag) + "> is the type");
                    if (!Utf16(value, m_type, type)) return Fail(value.data(), "invalid UTF-8");
                } else {
                    return Fail(key.data(),
                                "unknown attribute " + Quote(key) + " (q:name and q:type are the reserved ones)");
                }
                continue;
            }
            const size_t colon = Find(key, ':');
            XmlAttribute attribute{key.substr(0, colon),
                                   colon == std::string_view::npos ? "str" : key.substr(colon + 1), value};
            if (!m_names.Insert(attribute.name))  // the same name twice, with or without a type
                return Fail(key.data(), "duplicate attribute " + Quote(attribute.name));
            m_attributes.push_back(attribute);
            room += NodeData::AttributeSize(attribute.name.size(), 2 * value.size() + 16);
        }
        node.data.Reserve(room + 2 * (name.size() + type.size()));
        node.data.SetNameAndType(name, type);
        for (const XmlAttribute& attribute : m_attributes)
            if (const HRESULT hr =
                    AddAttribute(node, attribute.name.data(), attribute.name, attribute.suffix, attribute.value, false);
                hr < 0)
                return hr;
        return S_OK;
    }

    HRESULT AttrElement(pugi::xml_node xml, Node& node)
    {
        if (xml.first_child())
            return Fail(
                xml.first_child().type() == pugi::node_element ? xml.first_child().name() : xml.first_child().value(),
                "<q:attr> takes no content");
        pugi::xml_attribute name, type, value;
        for (pugi::xml_attribute xa : xml.attributes()) {
            const std::string_view key = xa.name();
            pugi::xml_attribute* slot = key == "name"    ? &name
                                        : key == "type"  ? &type
                                        : key == "value" ? &value
                                                         : nullptr;
            if (!slot) return Fail(xa.name(), "unknown attribute " + Quote(key) + " of <q:attr> (name, type, value)");
            *slot = xa;
        }
        if (!name) return Fail(xml.name(), "<q:attr> needs a name attribute");
        return AddAttribute(node, name.value(), name.value(), type ? type.value() : "str", value ? value.value() : "",
                            true);
    }

    // Adds one attribute; checkDuplicate when the name is not in m_names already.
    HRESULT AddAttribute(Node& node, const char* where, std::string_view name, std::string_view suffix,
                         std::string_view valueText, bool checkDuplicate)
    {
        if (name.empty()) return Fail(where, "an attribute needs a name");
        uint16_t type;
        if (!TypeFromSuffix(suffix, type))
            return Fail(where, "attribute " + Quote(name) + ": unknown type " + Quote(suffix) +
                                   " (known: " + std::string(kKnownSuffixes) + ")");
        std::u16string_view wide;
        if (!Utf16(name, m_attributeName, wide)) return Fail(where, "invalid UTF-8");
        if (checkDuplicate && !m_names.Insert(name)) return Fail(where, "duplicate attribute " + Quote(name));
        std::string why;
        if (!ParseValueText(type, valueText, m_value, why))
            return Fail(InBuffer(valueText.data()) ? valueText.data() : where, "attribute " + Quote(name) + ": " + why);
        node.data.Append(wide, m_value.View());
        return S_OK;
    }

    // Converts text into scratch (which only grows) and views the result. pugixml's strings end at
    // their first NUL, so no NUL comes through (a "&#0;" cuts the string there).
    static bool Utf16(std::string_view text, std::u16string& scratch, std::u16string_view& out)
    {
        if (scratch.size() < text.size()) scratch.resize(std::max(text.size(), 2 * scratch.size()));
        const size_t length = DecodeUtf8(text, scratch.data());
        if (length == kInvalidUtf8) return false;
        out = std::u16string_view(scratch.data(), length);
        return true;
    }

    static size_t Find(std::string_view text, char c) noexcept  // short names: a loop beats memchr
    {
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == c) return i;
        return std::string_view::npos;
    }

    // Empty names and values are pugixml's shared empty string, outside the buffer.
    bool InBuffer(const char* where) const noexcept
    {
        const auto at = reinterpret_cast<uintptr_t>(where);
        const auto base = reinterpret_cast<uintptr_t>(m_buffer.data());
        return at >= base && at <= base + m_buffer.size();
    }

    HRESULT Fail(const char* where, const std::string& message)
    {
        return FailAt(InBuffer(where) ? static_cast<size_t>(where - m_buffer.data()) : 0, message);
    }

    HRESULT FailAt(size_t offset, const std::string& message)
    {
        offset = std::min(offset, m_text.size());
        const std::string_view before = m_text.substr(0, offset);
        size_t line = 1;
        for (char c : before)
            if (c == '\n') ++line;
        const size_t lineStart = before.rfind('\n');
        const size_t column =
            CountCodePoints(before.substr(lineStart == std::string_view::npos ? 0 : lineStart + 1)) + 1;
        m_error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message;
        return kInvalidData;
    }

    std::string_view m_text;  // as given, for positions
    std::string m_buffer;     // pugixml parses this copy in place, so names and values point into it
    std::string& m_error;
    struct XmlAttribute {
        std::string_view name;    // without the type suffix
        std::string_view suffix;  // "str" when none
        std::string_view value;
    };

    // Scratch, reused from node to node.
    std::u16string m_name, m_type, m_attributeName;
    ValueBuffer m_value;
    std::vector<XmlAttribute> m_attributes;
    NameSet m_names;  // the current node's attribute names (views into m_buffer), plain and <q:attr> alike
};

}  // namespace

HRESULT ParseNodeText(std::string_view text, std::vector<TreePtr>& roots, std::string& error)
{
    std::vector<TreePtr> parsed;
    const HRESULT hr = Parser(text, error).Run(parsed);
    if (hr < 0) return hr;
    roots = std::move(parsed);
    return S_OK;
}

}  // namespace cvn::nodestore
