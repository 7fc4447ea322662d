// The configuration store's file: a list of top-level nodes in the node text
// form, read whole and written atomically (temporary file, then rename).
// Thread safety: stateless; callers serialize access to one file.
#pragma once

#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::host {

/// The file's top-level nodes, in order (none for an empty list). Throws HRX naming the file:
/// the Win32 code of an unreadable file, or 0x8007000D with "line L, column C: ..." for bad text.
std::vector<QxNodePtr> LoadConfigFile(const std::string& path);
/// Writes the nodes (with their subtrees) to a temporary file beside path and renames it over
/// path; on failure path is untouched and HRX names the file and the system's reason.
void SaveConfigFile(const std::string& path, const std::vector<QxNodePtr>& nodes);

}  // namespace cvn::host
