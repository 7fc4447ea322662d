// An answer printed in the node text form, bounded: a request may be deep or
// wide enough that its echo in the answer runs to gigabytes.
// Thread safety: pure functions over the given node and stream.
#pragma once

#include <cstddef>
#include <ostream>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::hostmain {

struct TextBounds {
    size_t lineBytes = 16 * 1024;          ///< bytes of one line (line end not counted)
    size_t totalBytes = 16 * 1024 * 1024;  ///< bytes of one answer
};

/// Writes the node's text form (indented UTF-8, as QxNodePtr::ToText writes it) to out. A line longer
/// than bounds.lineBytes is cut there and ends in " ... truncated: N more bytes on this line"; after
/// bounds.totalBytes the writing stops with a line "... truncated: the answer is longer than N bytes".
/// A node the text form cannot hold whole ends the same way, naming the failure. True when something
/// was left out. Throws HRX when the node cannot be written at all.
bool WriteBoundedText(std::ostream& out, const QxNodePtr& node, const TextBounds& bounds = {});

}  // namespace cvn::hostmain
