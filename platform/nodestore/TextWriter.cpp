// The text form writer (see TextWriter.h).
#include "platform/nodestore/TextWriter.h"

#include <vector>

#include "platform/nodestore/TextFormSyntax.h"
#include "platform/nodestore/Utf.h"
#include "platform/nodestore/ValueText.h"

namespace cvn::nodestore {

namespace {

using namespace textform;

class Writer {
public:
    Writer(std::string& out, bool indent, TextDrain drain, void* drainContext)
        : m_out(out), m_indent(indent), m_drain(drain), m_drainContext(drainContext)
    {
    }

    TextEnd Write(const Node& top, int32_t depth, int level)
    {
        struct Frame {
            const Node* node;
            size_t nextChild;
            int32_t depth;
            bool typeTag;  // the element's tag is the node's type
        };
        std::vector<Frame> stack;
        bool typeTag;
        bool tooDeep = false;
        if (Open(top, depth, level, typeTag)) stack.push_back({&top, 0, depth, typeTag});
        while (!stack.empty()) {
            if (m_drain && m_out.size() >= kTextChunk && !m_drain(m_out, m_drainContext)) return TextEnd::Stopped;
            Frame& frame = stack.back();
            const int childLevel = level + static_cast<int>(stack.size());
            if (frame.nextChild == 0 && stack.size() >= static_cast<size_t>(kMaxTextDepth) && frame.depth > 0 &&
                !frame.node->children.empty()) {
                LineStart(childLevel);  // deeper text would not read back
                m_out += kTooDeepComment;
                LineEnd();
                frame.nextChild = frame.node->children.size();
                tooDeep = true;
            }
            if (frame.depth > 0 && frame.nextChild < frame.node->children.size()) {
                const Node* child = frame.node->children[frame.nextChild++];
                const int32_t childDepth = frame.depth - 1;
                if (Open(*child, childDepth, childLevel, typeTag)) stack.push_back({child, 0, childDepth, typeTag});
                continue;
            }
            Close(*frame.node, childLevel - 1, frame.typeTag);
            stack.pop_back();
        }
        return tooDeep ? TextEnd::TooDeep : TextEnd::Complete;
    }

private:
    void LineStart(int level)
    {
        if (m_indent) m_out.append(static_cast<size_t>(level) * 2, ' ');
    }
    void LineEnd()
    {
        if (m_indent) m_out += "\r\n";
    }

    void Tag(const Node& node, bool typeTag)
    {
        if (typeTag) {
            AppendUtf8(m_out, node.data.Type());
        } else {
            m_out += kUntypedTag;
        }
    }

    void Value(ValueView value)
    {
        switch (value.type) {
            case QXN_TYPE_STRING:
                AppendEscaped(m_out, value.String());
                break;
            case QXN_TYPE_INT32:
            case QXN_TYPE_INT32_ALT:
            case QXN_TYPE_INT64:
            case QXN_TYPE_BOOL:
            case QXN_TYPE_GUID:
                AppendValueText(m_out, value);
                break;  // plain ASCII
            default:
                m_scratch.clear();
                AppendValueText(m_scratch, value);
                AppendEscaped(m_out, m_scratch);
        }
    }

    void Attribute(std::string_view name, std::u16string_view value)
    {
        m_out += ' ';
        m_out += name;
        m_out += "=\"";
        AppendEscaped(m_out, value);
        m_out += '"';
    }

    // Writes the start tag and the <q:attr> children; false when the element is closed already.
    bool Open(const Node& node, int32_t depth, int level, bool& typeTag)
    {
        typeTag = IsTagType(node.data.Type());
        LineStart(level);
        m_out += '<';
        Tag(node, typeTag);
        if (!node.data.Name().empty()) Attribute(kNameAttr, node.data.Name());
        if (!node.data.Type().empty() && !typeTag) Attribute(kTypeAttr, node.data.Type());
        // Plain attributes up to the first one that needs <q:attr>; the rest follow as children, keeping the order.
        auto it = node.data.begin();
        const auto end = node.data.end();
        for (; it != end; ++it) {
            const AttributeRef attribute = *it;
            if (!IsPlainAttributeName(attribute.name)) break;
            m_out += ' ';
            AppendUtf8(m_out, attribute.name);
            if (attribute.value.type != QXN_TYPE_STRING) {
                m_out += ':';
                m_out += TypeSuffix(attribute.value.type);
            }
            m_out += "=\"";
            Value(attribute.value);
            m_out += '"';
        }
        const bool hasChildren = depth > 0 && !node.children.empty();
        if (!(it != end) && !hasChildren) {
            m_out += "/>";
            LineEnd();
            return false;
        }
        m_out += '>';
        LineEnd();
        for (; it != end; ++it) {
            const AttributeRef attribute = *it;
            LineStart(level + 1);
            m_out += '<';
            m_out += kAttrElement;
            m_out += " name=\"";
            AppendEscaped(m_out, attribute.name);
            if (attribute.value.type != QXN_TYPE_STRING) {
                m_out += "\" type=\"";
                m_out += TypeSuffix(attribute.value.type);
            }
            m_out += "\" value=\"";
            Value(attribute.value);
            m_out += "\"/>";
            LineEnd();
        }
        if (hasChildren) return true;
        Close(node, level, typeTag);
        return false;
    }

    void Close(const Node& node, int level, bool typeTag)
    {
        LineStart(level);
        m_out += "</";
        Tag(node, typeTag);
        m_out += '>';
        LineEnd();
    }

    std::string& m_out;
    bool m_indent;
    TextDrain m_drain;
    void* m_drainContext;
    std::u16string m_scratch;
};

}  // namespace

TextEnd AppendNodeText(std::string& out, const Node& node, int32_t depth, int level, bool indent, TextDrain drain,
                       void* drainContext)
{
    return Writer(out, indent, drain, drainContext).Write(node, depth, level);
}

}  // namespace cvn::nodestore
