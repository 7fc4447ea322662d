// The deepest nesting the text form holds: one limit for the parser, the
// writer and the code that walks trees to write them (node access, the log's
// node dumps), so that whatever is written reads back.
// Thread safety: a constant.
#pragma once

namespace cvn::nodestore {

/// Levels of nested nodes (a node alone is one level): deeper text is refused and deeper
/// nodes are not written. Far above any request, far below what would exhaust a stack.
inline constexpr int kMaxTextDepth = 1000;

}  // namespace cvn::nodestore
