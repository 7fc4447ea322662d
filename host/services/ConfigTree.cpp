// The configuration store's node tree.
#include "host/services/ConfigTree.h"

#include "common/ErrorHandling/ErrorObjects.h"

namespace cvn::host {

namespace {

void RefuseRoot(const ConfigPath& path)
{
    ThrowIf(path.empty(), E_INVALIDARG, "the configuration root itself cannot be replaced");
}

}  // namespace

ConfigTree::ConfigTree() : m_root(QxNodePtr::Create()) {}

QxNodePtr ConfigTree::Find(const ConfigPath& path) const
{
    QxNodePtr node = m_root;
    for (const std::string& name : path) {
        node = node.GetChild(name, false);
        if (!node) return nullptr;
    }
    return node;
}

QxNodePtr ConfigTree::Replace(const ConfigPath& path, const QxNodePtr& node)
{
    RefuseRoot(path);
    QxNodePtr parent = m_root;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        QxNodePtr child = parent.GetChild(path[i], false);
        if (!child) {
            child = QxNodePtr::Create(path[i]);
            parent.AddChild(child);
        }
        parent = std::move(child);
    }
    node.SetName(path.back());

    QxNodePtr old = parent.GetChild(path.back(), false);
    if (!old) {
        parent.AddChild(node);
        return nullptr;
    }
    // Only append exists, so the siblings after the old node are taken out and put back
    // behind the new one to keep the order a reader of the saved file expects.
    std::vector<QxNodePtr> siblings = parent.GetChildren();
    // Handles are not identities; the first child of that name is the one GetChild found.
    size_t index = 0;
    while (index < siblings.size() && siblings[index].GetName() != path.back()) ++index;
    for (size_t i = index; i < siblings.size(); ++i) parent.RemoveChild(siblings[i]);
    parent.AddChild(node);
    for (size_t i = index + 1; i < siblings.size(); ++i) parent.AddChild(siblings[i]);
    return old;
}

QxNodePtr ConfigTree::Remove(const ConfigPath& path)
{
    RefuseRoot(path);
    QxNodePtr node = Find(path);
    if (node) node.GetParent().RemoveChild(node);
    return node;
}

void ConfigTree::Reset(const std::vector<QxNodePtr>& topLevel)
{
    QxNodePtr root = QxNodePtr::Create();
    for (const QxNodePtr& node : topLevel) root.AddChild(node);
    m_root = std::move(root);
}

}  // namespace cvn::host
