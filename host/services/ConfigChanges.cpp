// What a write did to a node. Content is compared through values read as text,
// which the node library gives for every attribute type.
#include "host/services/ConfigChanges.h"

#include <string>

namespace cvn::host {

namespace {

std::string OwnContent(const QxNodePtr& node)
{
    if (!node) return {};
    std::string text = node.GetType();
    for (const std::string& name : node.GetAttributeNames()) {
        uint32_t storedType = 0;
        node.HasAttribute(name, &storedType);
        std::string value;
        node.GetAttribute(name, value);
        text += '\0' + name + '\0' + std::to_string(storedType) + '\0' + value;
    }
    return text;
}

std::string ChildrenContent(const QxNodePtr& node)
{
    std::string text;
    if (!node) return text;
    for (const QxNodePtr& child : node.GetChildren()) text += child.ToText();
    return text;
}

}  // namespace

uint64_t ChangesBetween(const QxNodePtr& before, const QxNodePtr& after)
{
    if (!before && !after) return 0;
    uint64_t mask = !before ? ChangeBits::kAdded : !after ? ChangeBits::kRemoved : ChangeBits::kModified;
    if (OwnContent(before) != OwnContent(after)) mask |= ChangeBits::kAttributes;
    if (ChildrenContent(before) != ChildrenContent(after)) mask |= ChangeBits::kSubtree;
    return mask;
}

QxNodePtr MakeModificationNode(std::string_view path, uint64_t changesMask, const QxNodePtr& node, int32_t depth)
{
    QxNodePtr notification = QxNodePtr::Create("NodeModification", "NodeModification");
    notification.SetAttribute("ModifiedNodePath", path);
    notification.SetAttribute("ChangesMask", changesMask);
    if (node) notification.AddChild(node.Clone(depth));
    return notification;
}

}  // namespace cvn::host
