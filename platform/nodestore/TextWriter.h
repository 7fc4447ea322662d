// Writes nodes in the text form (docs/text-form.md): one XML element per node,
// its name in q:name, its attributes as XML attributes with the type after a
// colon, attributes whose names are no XML names as <q:attr> children.
// Thread safety: reads the tree only; one writer per output string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/nodestore/Node.h"
#include "platform/nodestore/TextDepth.h"

namespace cvn::nodestore {

/// Receives the text while it is written, between elements, once it holds kTextChunk bytes
/// or more; consumes what it takes from the buffer and returns false to stop the writing.
using TextDrain = bool (*)(std::string& buffer, void* context);
inline constexpr size_t kTextChunk = 64 * 1024;

enum class TextEnd {
    Complete,
    Stopped,  ///< drain stopped the writing
    TooDeep,  ///< written whole but for the nodes below kMaxTextDepth levels, a comment in their place
};

/// Appends node and depth levels of its children (0: the node alone) as UTF-8 text, nested
/// level deep. With indent each element is on its own line: two spaces per level, CRLF.
TextEnd AppendNodeText(std::string& out, const Node& node, int32_t depth, int level, bool indent,
                       TextDrain drain = nullptr, void* drainContext = nullptr);

/// The comment written in place of the children of a node kMaxTextDepth levels down.
inline constexpr std::string_view kTooDeepComment = "<!-- not written: nodes nested deeper than 1000 levels -->";
static_assert(kMaxTextDepth == 1000, "the comment names the limit");

}  // namespace cvn::nodestore
