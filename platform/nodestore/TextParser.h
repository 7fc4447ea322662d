// Parses the text form (docs/text-form.md) back into node trees: the XML the
// form uses is read here too, in one pass that builds the nodes in the parse's
// arena (NodeArena.h). All or nothing: on any error no tree survives and the
// error says where ("line 3, column 17: ...") and what.
// Thread safety: pure function of its input.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/nodestore/Node.h"

namespace cvn::nodestore {

/// Parses UTF-8 text into new roots (the <nr> wrapper optional): S_OK; 0x8007000D with
/// error set for malformed text, a NUL byte, or elements nested deeper than kMaxTextDepth; E_OUTOFMEMORY.
HRESULT ParseNodeText(std::string_view text, std::vector<TreePtr>& roots, std::string& error);

}  // namespace cvn::nodestore
