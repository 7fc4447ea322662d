// The modification enumerator handed to a subscription's sink, and the node
// sequence it gives out.
// Thread safety: immutable after creation, except a sequence's position, which
// belongs to the one caller that walks it.
#pragma once

#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/NodeNotifications.h"

namespace cvn::host {

class CNodeSequence : public Implements<IQxNodeSequence> {
public:
    explicit CNodeSequence(std::vector<QxNodePtr> nodes) : m_nodes(std::move(nodes)) {}
    /// Starts from the first node again; any flags are accepted.
    HRESULT Prepare(uint32_t flags) noexcept override;
    /// S_OK with a new handle, S_FALSE with null past the end; E_POINTER for a null out.
    HRESULT Next(IQxNode** node) noexcept override;

private:
    std::vector<QxNodePtr> m_nodes;
    size_t m_position = 0;
};

class CNodeModifyEnum : public Implements<IQxNodeModifyEnum> {
public:
    explicit CNodeModifyEnum(std::vector<QxNodePtr> nodes) : m_nodes(std::move(nodes)) {}
    /// A new sequence over the notification nodes (handles duplicated); E_POINTER for a null out.
    HRESULT GetNodes(IQxNodeSequence** nodes) noexcept override;

private:
    std::vector<QxNodePtr> m_nodes;
};

}  // namespace cvn::host
