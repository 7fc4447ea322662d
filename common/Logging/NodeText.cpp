// Node text for the log.
#include "common/Logging/NodeText.h"

#include <cstdio>
#include <mutex>

#include "common/ErrorHandling/HRX.h"
#include "common/Settings/SettingsStore.h"

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

struct MaskWalk {
    const HiddenAttributeTable& table;
    const QxNodePtr& root;
    int32_t depth;
    QxNodePtr clone;
    std::vector<uint64_t> indexPath;  // child indexes from the root to the current node

    // The clone's node at the current index path; the clone is made on the first hit.
    QxNodePtr CloneNode()
    {
        if (!clone) clone = root.Clone(depth);
        QxNodePtr node = clone;
        for (uint64_t index : indexPath) node = node.GetChild(index);
        return node;
    }

    // Source and clone are walked in step by child index, so nodes that share a name (or have
    // none) are still told apart.
    void Visit(const QxNodePtr& node, int32_t level)
    {
        const std::set<std::string> hidden = table.HiddenFor(node.GetType());
        if (!hidden.empty()) {
            QxNodePtr target;
            for (const std::string& name : hidden) {
                if (!node.HasAttribute(name)) continue;
                if (!target) target = CloneNode();
                target.SetAttribute(name, kHiddenAttributeMask);
            }
        }
        if (level >= depth) return;
        const uint64_t count = node.GetChildCount();
        for (uint64_t i = 0; i < count; ++i) {
            indexPath.push_back(i);
            Visit(node.GetChild(i), level + 1);
            indexPath.pop_back();
        }
    }
};

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
    MaskWalk walk{table, node, depth < 0 ? 0 : depth, {}, {}};
    walk.Visit(node, 0);
    return walk.clone ? walk.clone : node;
}

std::string LogTextOfNode(const QxNodePtr& node, int32_t depth)
{
    if (!node) return "QxNode[<null>]";
    const auto table = HiddenAttributeTable::Global();
    const QxNodePtr masked = MaskedCopy(node, depth, *table);
    std::string text = masked.ToText(depth, QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8);
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
    char head[64];
    std::snprintf(head, sizeof head, "QxNode[0x%016llX]:\r\n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(node.Get())));
    return head + text;
}

}  // namespace cvn::log
