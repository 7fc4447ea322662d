// Reading the modifications of one configuration change notification.
// Thread safety: stateless; an enumerator is read by the call that received it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/NodeNotifications.h"

namespace CfgSubscriptionsHelpers::NodeModifyUtils {

/// One modification: the path of the modified node, what changed, and the node (null when not sent).
struct TNodeModification {
    std::string path;
    uint32_t changesMask = 0;
    cvn::QxNodePtr node;
};

/// The modifications in the order the server sent them, up to the first answer of the sequence other
/// than S_OK (its end, or a failure); an empty list when it sent none. Throws HRX: E_POINTER for a null
/// enumerator, 0x80070490 for a notification without "ModifiedNodePath" or "ChangesMask", the
/// server's code when the sequence cannot be obtained or prepared.
std::vector<TNodeModification> GetModifications(cvn::IQxNodeModifyEnum* modifications);

}  // namespace CfgSubscriptionsHelpers::NodeModifyUtils
