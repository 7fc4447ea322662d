// What one write or removal did to a node, as the bits of "ChangesMask", and
// the notification node that carries it to a subscriber.
// Thread safety: pure functions over nodes that no other thread changes meanwhile.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::host {

/// Bits of "ChangesMask" in notifications and in "SubscribeConfig".
namespace ChangeBits {
inline constexpr uint64_t kAdded = 0x1;       ///< the node did not exist before
inline constexpr uint64_t kModified = 0x2;    ///< the node existed and was written again
inline constexpr uint64_t kRemoved = 0x4;     ///< the node is gone (the notification carries its last content)
inline constexpr uint64_t kSubtree = 0x8;     ///< below the subscribed node, or the node's children differ
inline constexpr uint64_t kAttributes = 0x10; ///< the node's own attributes or type differ
inline constexpr uint64_t kAll = 0x1F;
}  // namespace ChangeBits

/// Added, modified or removed from which of before/after exist (null = absent), plus
/// kSubtree and kAttributes where their content differs; 0 when both are null.
uint64_t ChangesBetween(const QxNodePtr& before, const QxNodePtr& after);

/// A "NodeModification" node with "ModifiedNodePath", "ChangesMask" and a copy of node (to depth)
/// as its first child; no child when node is null.
QxNodePtr MakeModificationNode(std::string_view path, uint64_t changesMask, const QxNodePtr& node, int32_t depth);

}  // namespace cvn::host
