// QxNodePtr::FindByPath and the path filter node.
#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace cvn {

namespace {

constexpr char kSeparator = '\\';

// Number of names in a backslash path piece ("a\b" and "\a\b\" both hold two).
size_t CountNames(std::string_view path)
{
    size_t names = 0;
    bool inName = false;
    for (char c : path) {
        if (c == kSeparator) {
            inName = false;
        } else if (!inName) {
            inName = true;
            ++names;
        }
    }
    return names;
}

// Length of the longest common prefix of two absolute paths that ends at a name boundary in both.
size_t CommonPrefix(std::string_view a, std::string_view b)
{
    size_t same = 0;
    while (same < a.size() && same < b.size() && a[same] == b[same]) ++same;
    const auto boundary = [](std::string_view path, size_t at) { return at == path.size() || path[at] == kSeparator; };
    if (boundary(a, same) && boundary(b, same)) return same;
    // Back off to the last separator inside the common part, keeping it in the prefix.
    const size_t separator = a.substr(0, same).rfind(kSeparator);
    return separator == std::string_view::npos ? 0 : separator + 1;
}

QxNodePtr WalkDown(QxNodePtr node, std::string_view path)
{
    size_t start = 0;
    while (node && start < path.size()) {
        size_t end = path.find(kSeparator, start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) node = node.GetChild(path.substr(start, end - start), false);
        start = end + 1;
    }
    return node;
}

QxNodePtr Find(const QxNodePtr& from, std::string_view path, uint32_t flags)
{
    if (path.empty() || path[0] != kSeparator) return WalkDown(from, path);

    const std::string ownPath = from.GetPath();
    const size_t prefix = CommonPrefix(ownPath, path);
    if (prefix < 2) return nullptr;
    size_t stepsUp = CountNames(std::string_view(ownPath).substr(prefix));
    if (stepsUp > 0 && (flags & QxNodePtr::kFindNoUpward)) return nullptr;
    QxNodePtr node = from;
    while (node && stepsUp-- > 0) node = node.GetParent();
    return WalkDown(std::move(node), path.substr(prefix));
}

}  // namespace

QxNodePtr QxNodePtr::FindByPath(std::string_view path, uint32_t flags) const
{
    ThrowIfNull(m_node);
    QxNodePtr found = Find(*this, path, flags);
    if (!found && (flags & kFindMustExist))
        ThrowHrWithDescription(kHrNotFound, "Element not found: path '" + std::string(path) + "'");
    return found;
}

QxNodePtr MakePathFilterNode(std::string_view path, int64_t maxDepth, bool isParent)
{
    QxNodePtr filter = QxNodePtr::Create({}, "FilterByPath");
    filter.SetAttribute("NodePath", path);
    filter.SetAttribute("IsParent", isParent);
    filter.SetAttribute("MaxDepth", maxDepth);
    return filter;
}

}  // namespace cvn
