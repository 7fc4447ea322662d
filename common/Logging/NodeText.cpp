// Node text for the log.
#include "common/Logging/NodeText.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/LineFormat.h"
#include "common/Settings/SettingsStore.h"
#include "platform/nodestore/TextDepth.h"

namespace cvn::log {
namespace {

std::mutex g_tableLock;
std::shared_ptr<const HiddenAttributeTable> g_table;
uint64_t g_tableGeneration = 0;  // of the settings it was read from

std::string Trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (true) {
        const size_t end = text.find(separator, pos);
        parts.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) return parts;
        pos = end + 1;
    }
}

// The nodes a dump writes: the levels the text form holds, so the walks below stay bounded.
int32_t WrittenDepth(int32_t depth)
{
    return std::clamp(depth, 0, nodestore::kMaxTextDepth - 1);
}

// Source and clone are walked in step by child index, so nodes that share a name (or have
// none) are still told apart. Without recursion: a tree may be as deep as its sender likes.
class MaskWalk {
public:
    MaskWalk(const HiddenAttributeTable& table, const QxNodePtr& root, int32_t depth)
        : m_table(table), m_root(root), m_depth(depth)
    {
    }

    QxNodePtr Run()
    {
        const int32_t walked = WrittenDepth(m_depth);
        Mask(m_path.emplace_back(Frame{m_root, {}, 0, 0}));
        while (!m_path.empty()) {
            Frame& frame = m_path.back();
            if (static_cast<int32_t>(m_path.size()) > walked || frame.next >= frame.node.GetChildCount()) {
                m_path.pop_back();
                continue;
            }
            const uint64_t index = frame.next++;
            Frame child{frame.node.GetChild(index), {}, index, 0};
            if (frame.copy) child.copy = frame.copy.GetChild(index);
            Mask(m_path.emplace_back(std::move(child)));
        }
        return m_clone ? m_clone : m_root;
    }

private:
    struct Frame {
        QxNodePtr node;
        QxNodePtr copy;  // its counterpart in the clone, once there is one
        uint64_t index;  // among its parent's children
        uint64_t next;   // the next child to visit
    };

    void Mask(Frame& frame)
    {
        const std::set<std::string> hidden = m_table.HiddenFor(frame.node.GetType());
        for (const std::string& name : hidden) {
            if (!frame.node.HasAttribute(name)) continue;
            if (!frame.copy) MakeClone();
            frame.copy.SetAttribute(name, kHiddenAttributeMask);
        }
    }

    // The clone, on the first hit, and the counterparts of the nodes on the current path.
    void MakeClone()
    {
        // One level more than is written, so the writer still sees (and marks) what lies deeper.
        m_clone = m_root.Clone(std::clamp(m_depth, 0, nodestore::kMaxTextDepth));
        m_path.front().copy = m_clone;
        for (size_t i = 1; i < m_path.size(); ++i) m_path[i].copy = m_path[i - 1].copy.GetChild(m_path[i].index);
    }

    const HiddenAttributeTable& m_table;
    const QxNodePtr& m_root;
    int32_t m_depth;
    QxNodePtr m_clone;
    std::vector<Frame> m_path;  // from the root to the current node
};

// Collects a dump's text: indentation beyond the log's own nesting limit is dropped, and
// the text ends at kMaxNodeDumpBytes (the serializer is stopped there).
struct DumpSink {
    static constexpr int kMaxIndent = 2 * kMaxIndentLevel;

    std::string text;
    bool atLineStart = false;  // the first line is "<nr>"
    int indent = 0;
    bool full = false;

    static HRESULT Append(const void* bytes, uint32_t count, void* context) noexcept
    {
        auto* self = static_cast<DumpSink*>(context);
        try {
            const auto* begin = static_cast<const char*>(bytes);
            for (const char* at = begin; at != begin + count && !self->full; ++at) self->Put(*at);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
        return self->full ? E_ABORT : S_OK;
    }

    void Put(char c)
    {
        if (atLineStart) {  // values hold no line breaks (the writer escapes them), so this is indentation
            if (c == ' ' && indent++ >= kMaxIndent) return;
            atLineStart = c == ' ';
        }
        if (c == '\n') {
            atLineStart = true;
            indent = 0;
        }
        if (text.size() >= kMaxNodeDumpBytes) {
            full = true;
            return;
        }
        text += c;
    }

    // Drops a character the cap cut in two.
    void CutWhole()
    {
        size_t last = text.size();
        while (last > 0 && (static_cast<unsigned char>(text[last - 1]) & 0xC0) == 0x80) --last;
        if (last == 0) return;
        const auto lead = static_cast<unsigned char>(text[--last]);
        const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (text.size() - last < length) text.resize(last);
    }
};

struct SerializationCloser {
    void operator()(QxnSerializationContext* context) const noexcept { QxnCloseSerializationContext(context); }
};

// The masked tree's text, bounded; true when it was cut at kMaxNodeDumpBytes.
bool WriteDump(const QxNodePtr& node, int32_t depth, std::string& text)
{
    DumpSink sink;
    QxnSerializationContext* raw = nullptr;
    ThrowIfFailed(QxnStartSerialization(QXN_SERIALIZE_TEXT, QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8,
                                        &DumpSink::Append, &sink, &raw));
    const std::unique_ptr<QxnSerializationContext, SerializationCloser> context(raw);
    IQxNode* handle = node.Get();
    HRESULT hr = QxnSerializeNodes(context.get(), &handle, 1, depth);
    if (hr == kHrInvalidData) hr = S_OK;  // too deep: a comment in the text says where
    if (hr >= 0) hr = QxnFinalizeSerialization(context.get());
    if (sink.full)
        sink.CutWhole();
    else
        ThrowIfFailed(hr);
    text = std::move(sink.text);
    return sink.full;
}

}  // namespace

HiddenAttributeTable HiddenAttributeTable::Parse(const std::string& text)
{
    HiddenAttributeTable table;
    for (const std::string& rawEntry : Split(text, ';')) {
        const std::string entry = Trim(rawEntry);
        if (entry.empty()) continue;
        const auto parts = Split(entry, ':');
        ThrowIf(parts.size() != 2, E_INVALIDARG);
        const std::string type = Trim(parts[0]);
        auto& names = table.m_types[type];
        for (const std::string& name : Split(parts[1], ',')) {
            const std::string trimmed = Trim(name);
            if (!trimmed.empty()) names.insert(trimmed);
        }
    }
    return table;
}

std::shared_ptr<const HiddenAttributeTable> HiddenAttributeTable::Global()
{
    std::lock_guard<std::mutex> guard(g_tableLock);
    const uint64_t generation = SettingsStore::Global().Generation();
    if (!g_table || generation != g_tableGeneration) {
        g_table = std::make_shared<const HiddenAttributeTable>(Parse(GetSetting("Logger", "HiddenNodeTypeAttrs", "")));
        g_tableGeneration = generation;
    }
    return g_table;
}

std::set<std::string> HiddenAttributeTable::HiddenFor(const std::string& type) const
{
    std::set<std::string> names;
    if (const auto own = m_types.find(type); own != m_types.end()) names = own->second;
    if (const auto all = m_types.find("*"); all != m_types.end()) names.insert(all->second.begin(), all->second.end());
    return names;
}

QxNodePtr MaskedCopy(const QxNodePtr& node, int32_t depth, const HiddenAttributeTable& table)
{
    if (table.Empty() || !node) return node;
    return MaskWalk(table, node, depth).Run();
}

std::string LogTextOfNode(const QxNodePtr& node, int32_t depth)
{
    if (!node) return "QxNode[<null>]";
    const auto table = HiddenAttributeTable::Global();
    const QxNodePtr masked = MaskedCopy(node, depth, *table);
    std::string text;
    const bool cut = WriteDump(masked, depth, text);
    if (!text.empty() && text.back() == '\0') text.pop_back();
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    if (text.rfind("<nr>", 0) == 0) {
        const size_t lineEnd = text.find('\n', 4);
        text.erase(0, lineEnd == std::string::npos ? text.size() : lineEnd + 1);
    }
    if (text.size() >= 5 && text.compare(text.size() - 5, 5, "</nr>") == 0) {
        text.resize(text.size() - 5);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    if (cut) text += "\r\n... truncated: the node text is longer than " + std::to_string(kMaxNodeDumpBytes) + " bytes";
    char head[64];
    std::snprintf(head, sizeof head, "QxNode[0x%016llX]:\r\n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(node.Get())));
    return head + text;
}

}  // namespace cvn::log
