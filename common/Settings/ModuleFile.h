// Where this module's own file is (the shared library in production, the
// program itself when the common code is linked into a test), found through
// the dynamic loader (tests point it elsewhere through ModuleFileTestHooks.h).
// Thread safety: may be called from any thread.
#pragma once

#include <string>

namespace cvn {

/// Full path of the module's own file; "" when the loader cannot say.
std::string ModuleFilePath();
/// The directory of that file, ending with "/"; "" when unknown.
std::string ModuleDirectory();
/// The file name without directory and extension ("libcorvane").
std::string ModuleBaseName();
/// The module's load address; null when unknown.
const void* ModuleBaseAddress();

/// Path helpers with "/" and "\" both accepted as separators.
std::string DirectoryOf(const std::string& path);  ///< ends with the separator; "" without one
std::string FileNameOf(const std::string& path);
std::string StemOf(const std::string& path);  ///< file name without its last extension

}  // namespace cvn
