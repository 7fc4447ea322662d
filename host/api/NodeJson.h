// The JSON form of node trees: type, name, typed attributes and children, in
// order, so that JSON -> node -> JSON and node -> JSON -> node are exact (text
// is UTF-8: an unpaired UTF-16 surrogate comes out as U+FFFD).
// docs/api.md describes the mapping.
// Thread safety: pure functions; a node is used by one thread at a time.
#pragma once

#include <nlohmann/json.hpp>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::api {

using Json = nlohmann::ordered_json;

/// The node and its subtree as JSON. Throws HRX when the node library fails.
Json NodeToJson(const QxNodePtr& node);
/// A new node tree from its JSON form. Throws ApiError (400, 0x8007000D) naming the path of the member
/// that is wrong ("children[2].attributes.Top:i32"), for any shape or value the mapping does not give,
/// and for nesting deeper than the node text's limit.
QxNodePtr JsonToNode(const Json& json);

}  // namespace cvn::api
