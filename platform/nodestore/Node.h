// The node behind every IQxNode handle, and the tree operations that keep
// handle counts right. A handle is the node pointer itself; each node counts
// its own handles and a root also counts the handles of its whole tree, which
// lives while that total is above zero (parents own their children).
// A node made by the parser lives in its parse's arena (NodeArena.h) together
// with its data and child list; it is destroyed like any other, and the arena's
// memory goes back when its last node is gone.
// Thread safety: counts are atomic, so handles of one tree may be opened and
// closed from several threads while the tree is only read; everything else
// changes a tree and needs the caller's exclusive use of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/nodestore/ChildList.h"
#include "platform/nodestore/NodeData.h"

namespace cvn::nodestore {
class NodeArena;
}

struct IQxNode {
    std::atomic<uint32_t> handles{0};      ///< handles to this node
    std::atomic<uint64_t> treeHandles{0};  ///< at a root: handles to any node of the tree
    IQxNode* parent = nullptr;
    cvn::nodestore::ChildList children;
    cvn::nodestore::NodeData data;               ///< name, type and attributes
    cvn::nodestore::NodeArena* arena = nullptr;  ///< where the node lives; null: on the heap by itself
};

namespace cvn::nodestore {

using Node = IQxNode;

/// Deletes a whole tree; the node must be a root.
void DestroyTree(Node* root) noexcept;
struct TreeDeleter {
    void operator()(Node* root) const noexcept { DestroyTree(root); }
};
/// A tree that no handle refers to yet (under construction).
using TreePtr = std::unique_ptr<Node, TreeDeleter>;

/// Makes room for one more child, so that appending it cannot fail (growing geometrically).
inline void ReserveChild(Node* parent)
{
    parent->children.ReserveOneMore();
}

/// Hands out a new handle to node (counts it) and returns it.
Node* OpenHandle(Node* node) noexcept;
/// Hands out the first handle of a tree under construction.
Node* ReleaseAsHandle(TreePtr tree) noexcept;
/// Closes one handle; the last handle of a tree deletes the tree.
void CloseHandle(Node* node) noexcept;

Node* RootOf(Node* node) noexcept;
/// True when candidate is node or one of its ancestors.
bool IsSelfOrAncestor(const Node* candidate, const Node* node) noexcept;

/// Appends child (moving it from its parent, if any) to parent; the caller has
/// checked that child is not parent or one of its ancestors. Throws only before changing anything.
void AppendChild(Node* parent, Node* child);
/// Detaches child from its parent; the subtree becomes a tree of its own
/// (deleted at once when no handle refers into it). Throws only before changing anything.
void DetachChild(Node* child);

/// Deep copy of node down to depth levels of children (0: the node alone), as a new root.
TreePtr CloneTree(const Node& node, int32_t depth);

/// Full path (name kind 2): "\" + the names from the root down, a nameless root adding nothing; "\" for a nameless
/// root.
std::u16string PathOf(const Node& node);
/// Places a root at path ("\A\B\Name"): renames it and creates the nameless-type ancestors.
/// E_INVALIDARG for a node that has a parent or a path that is not absolute or has empty names.
HRESULT PlaceAtPath(Node* node, std::u16string_view path);

}  // namespace cvn::nodestore
