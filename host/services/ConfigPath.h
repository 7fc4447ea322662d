// Backslash paths of the configuration store ("\Configuration\Plans") split
// into names, and the relations between two paths.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cvn::host {

using ConfigPath = std::vector<std::string>;

/// "\A\B" -> {"A", "B"}; "\" -> {} (the root). Throws HRX E_INVALIDARG naming the path when
/// it does not start with a backslash or holds an empty name ("\A\\B", "\A\").
ConfigPath SplitConfigPath(std::string_view path);
/// {"A", "B"} -> "\A\B"; {} -> "\".
std::string JoinConfigPath(const ConfigPath& path);
/// True when prefix equals path or is one of its ancestors (names compare exactly).
bool IsSameOrAncestor(const ConfigPath& prefix, const ConfigPath& path);

}  // namespace cvn::host
