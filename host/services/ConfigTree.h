// The configuration store's node tree: a nameless root whose children are the
// top-level nodes, addressed by ConfigPath.
// Thread safety: none; the configuration server guards it with its lock.
#pragma once

#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/services/ConfigPath.h"

namespace cvn::host {

class ConfigTree {
public:
    /// An empty tree (a nameless root without children).
    ConfigTree();

    /// The node at path (the root for {}), or null when absent.
    QxNodePtr Find(const ConfigPath& path) const;
    /// Puts node (taken over, not copied) at path in place of the node there, keeping its
    /// position among its siblings; missing ancestors are created as plain nodes.
    /// Returns the node it replaced (detached, still readable) or null. {} is refused (E_INVALIDARG).
    QxNodePtr Replace(const ConfigPath& path, const QxNodePtr& node);
    /// Detaches the node at path and returns it; null when nothing is there. {} is refused.
    QxNodePtr Remove(const ConfigPath& path);

    const QxNodePtr& Root() const noexcept { return m_root; }
    /// Swaps in a whole new set of top-level nodes (taken over).
    void Reset(const std::vector<QxNodePtr>& topLevel);

private:
    QxNodePtr m_root;
};

}  // namespace cvn::host
