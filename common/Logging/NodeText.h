// Nodes in log lines: the hidden attribute table from "HiddenNodeTypeAttrs",
// the masked copy that hides those attributes (the live tree is never changed)
// and the node text written into a message.
// Thread safety: the global table is built once and only read afterwards; the
// functions may run on any thread with nodes that thread may use.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::log {

inline constexpr const char* kHiddenAttributeMask = "********";
/// The most a node dump writes into a log line; the rest is left out, with a "... truncated" line.
inline constexpr size_t kMaxNodeDumpBytes = 256 * 1024;

class HiddenAttributeTable {
public:
    /// Entries "Type: attr1, attr2" separated by ";"; "*" means every type. An entry without
    /// exactly one ":" throws HRX E_INVALIDARG; empty entries are skipped.
    static HiddenAttributeTable Parse(const std::string& text);
    /// The table of the "Logger"/"HiddenNodeTypeAttrs" setting, built on first use and again after the
    /// settings sources change; throws as Parse (and tries again on the next use).
    static std::shared_ptr<const HiddenAttributeTable> Global();

    bool Empty() const noexcept { return m_types.empty(); }
    /// The names hidden on a node of the type (its own set and the "*" set); empty when none.
    std::set<std::string> HiddenFor(const std::string& type) const;

private:
    std::map<std::string, std::set<std::string>> m_types;
};

/// The node itself when nothing is hidden in it, else a clone (to the depth) with every hidden
/// attribute set to "********". Looks only as deep as node text goes (nodestore::kMaxTextDepth).
/// Throws HRX when the library refuses a read or the clone.
QxNodePtr MaskedCopy(const QxNodePtr& node, int32_t depth, const HiddenAttributeTable& table);

/// "QxNode[<null>]" for null, else "QxNode[0x...]:\r\n" and the masked text without its <nr> wrapper,
/// bounded: indentation stops growing after kMaxIndentLevel levels, nodes deeper than node text goes are
/// replaced by a comment, and the text ends at kMaxNodeDumpBytes with "... truncated: ...".
/// Throws HRX when the table is malformed or the node cannot be read.
std::string LogTextOfNode(const QxNodePtr& node, int32_t depth);

}  // namespace cvn::log
