// Node lifetime and tree structure (see Node.h).
#include "platform/nodestore/Node.h"

#include <algorithm>
#include <vector>

#include "platform/nodestore/NodeArena.h"

namespace cvn::nodestore {

namespace {

constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);

// Sum of the handles to the nodes of a subtree.
uint64_t SubtreeHandles(const Node* top)
{
    uint64_t total = 0;
    std::vector<const Node*> stack{top};
    while (!stack.empty()) {
        const Node* node = stack.back();
        stack.pop_back();
        total += node->handles.load(std::memory_order_relaxed);
        stack.insert(stack.end(), node->children.begin(), node->children.end());
    }
    return total;
}

}  // namespace

void DestroyTree(Node* root) noexcept
{
    // Depth first through the parent links, so no memory is needed and deep trees are fine.
    // A parsed tree's nodes let go of their arena together: one count for a run of them.
    NodeArena* arena = nullptr;
    uint64_t arenaNodes = 0;
    Node* node = root;
    while (node) {
        if (!node->children.empty()) {
            Node* child = node->children.back();
            node->children.pop_back();
            node = child;
            continue;
        }
        Node* parent = node == root ? nullptr : node->parent;
        if (NodeArena* home = node->arena) {
            if (home != arena) {
                if (arena) arena->Release(arenaNodes);
                arena = home;
                arenaNodes = 0;
            }
            node->~Node();
            ++arenaNodes;
        } else {
            delete node;
        }
        node = parent;
    }
    if (arena) arena->Release(arenaNodes);
}

Node* OpenHandle(Node* node) noexcept
{
    node->handles.fetch_add(1, std::memory_order_relaxed);
    RootOf(node)->treeHandles.fetch_add(1, std::memory_order_relaxed);
    return node;
}

Node* ReleaseAsHandle(TreePtr tree) noexcept
{
    return OpenHandle(tree.release());
}

void CloseHandle(Node* node) noexcept
{
    node->handles.fetch_sub(1, std::memory_order_relaxed);
    Node* root = RootOf(node);
    if (root->treeHandles.fetch_sub(1, std::memory_order_acq_rel) == 1) DestroyTree(root);
}

Node* RootOf(Node* node) noexcept
{
    while (node->parent) node = node->parent;
    return node;
}

bool IsSelfOrAncestor(const Node* candidate, const Node* node) noexcept
{
    for (; node; node = node->parent)
        if (node == candidate) return true;
    return false;
}

void AppendChild(Node* parent, Node* child)
{
    ReserveChild(parent);  // the only step that may fail
    Node* oldRoot = nullptr;
    uint64_t moved = 0;
    if (Node* oldParent = child->parent) {
        moved = SubtreeHandles(child);
        oldRoot = RootOf(oldParent);
        auto& siblings = oldParent->children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), child));
        child->parent = nullptr;
        oldRoot->treeHandles.fetch_sub(moved, std::memory_order_relaxed);
    } else {
        moved = child->treeHandles.exchange(0, std::memory_order_relaxed);
    }
    parent->children.push_back(child);
    child->parent = parent;
    Node* newRoot = RootOf(parent);
    newRoot->treeHandles.fetch_add(moved, std::memory_order_relaxed);
    // The tree the child came from may have lived only through handles into the child.
    if (oldRoot && oldRoot != newRoot && oldRoot->treeHandles.load(std::memory_order_relaxed) == 0)
        DestroyTree(oldRoot);
}

void DetachChild(Node* child)
{
    Node* parent = child->parent;
    Node* oldRoot = RootOf(parent);
    const uint64_t moved = SubtreeHandles(child);  // the only step that may fail
    auto& siblings = parent->children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), child));
    child->parent = nullptr;
    child->treeHandles.store(moved, std::memory_order_relaxed);
    if (oldRoot->treeHandles.fetch_sub(moved, std::memory_order_relaxed) == moved) DestroyTree(oldRoot);
    if (moved == 0) DestroyTree(child);
}

TreePtr CloneTree(const Node& source, int32_t depth)
{
    auto copyNode = [](const Node& from) {
        auto to = std::make_unique<Node>();
        to->data = from.data;
        return to.release();
    };
    TreePtr root(copyNode(source));
    struct Pending {
        const Node* from;
        Node* to;
        int32_t depth;
    };
    std::vector<Pending> stack{{&source, root.get(), depth}};
    while (!stack.empty()) {
        const Pending pending = stack.back();
        stack.pop_back();
        if (pending.depth <= 0) continue;
        pending.to->children.reserve(pending.from->children.size());
        for (const Node* child : pending.from->children) {
            Node* copy = copyNode(*child);
            copy->parent = pending.to;
            pending.to->children.push_back(copy);  // reserved: cannot fail
            if (!child->children.empty()) stack.push_back({child, copy, pending.depth - 1});
        }
    }
    return root;
}

std::u16string PathOf(const Node& node)
{
    if (!node.parent && node.data.Name().empty()) return u"\\";
    std::vector<const Node*> chain;
    for (const Node* n = &node; n; n = n->parent) chain.push_back(n);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!(*it)->parent && (*it)->data.Name().empty()) continue;  // a nameless root adds nothing
        path += u'\\';
        path += (*it)->data.Name();
    }
    return path;
}

HRESULT PlaceAtPath(Node* node, std::u16string_view path)
{
    if (node->parent || path.empty() || path[0] != u'\\') return kInvalidArg;
    std::vector<std::u16string_view> names;
    if (path.size() > 1) {
        for (size_t start = 1;;) {
            const size_t end = path.find(u'\\', start);
            const auto name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
            if (name.empty()) return kInvalidArg;
            names.push_back(name);
            if (end == std::u16string_view::npos) break;
            start = end + 1;
        }
    }
    // Build the ancestors first, so that a failure leaves the node untouched.
    TreePtr top;
    Node* deepest = nullptr;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (deepest) ReserveChild(deepest);
        Node* ancestor = new Node;
        if (!top) {
            top.reset(ancestor);
        } else {
            deepest->children.push_back(ancestor);  // reserved: cannot fail
            ancestor->parent = deepest;
        }
        ancestor->data.SetName(names[i]);
        deepest = ancestor;
    }
    if (deepest) ReserveChild(deepest);
    node->data.SetName(names.empty() ? std::u16string_view() : names.back());
    if (deepest) {
        AppendChild(deepest, node);  // moves the node's handle total to the new root
        top.release();
    }
    return S_OK;
}

}  // namespace cvn::nodestore
