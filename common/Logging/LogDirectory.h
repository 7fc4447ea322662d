// The log directory: the "Path" setting resolved against the data directory,
// with "/" separators and a trailing "/", created level by level.
// Thread safety: pure functions over the file system; may run on any thread.
#pragma once

#include <string>

namespace cvn::log {

/// The directory of a Path setting, resolved (relative paths land under the data directory),
/// separators turned to "/" and ending with "/".
std::string LogDirectoryOf(const std::string& pathSetting);

/// Creates each missing level of the directory; errors are ignored (opening the file reports them).
void CreateDirectoryLevels(const std::string& directory) noexcept;

}  // namespace cvn::log
