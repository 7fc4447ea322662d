// Writes nodes in the text form (docs/text-form.md): one XML element per node,
// its name in q:name, its attributes as XML attributes with the type after a
// colon, attributes whose names are no XML names as <q:attr> children.
// Thread safety: reads the tree only; one writer per output string.
#pragma once

#include <cstdint>
#include <string>

#include "platform/nodestore/Node.h"

namespace cvn::nodestore {

/// Receives the text while it is written, between elements, once it holds kTextChunk bytes
/// or more; consumes what it takes from the buffer and returns false to stop the writing.
using TextDrain = bool (*)(std::string& buffer, void* context);
inline constexpr size_t kTextChunk = 64 * 1024;

/// Appends node and depth levels of its children (0: the node alone) as UTF-8 text, nested
/// level deep. With indent each element is on its own line: two spaces per level, CRLF.
/// False when drain stopped the writing.
bool AppendNodeText(std::string& out, const Node& node, int32_t depth, int level, bool indent,
                    TextDrain drain = nullptr, void* drainContext = nullptr);

}  // namespace cvn::nodestore
