// Tests only: pointing ModuleFilePath at another file.
// Thread safety: call while nothing reads the module path.
#pragma once

#include <string>

namespace cvn {

/// Makes ModuleFilePath answer the given path (empty restores the loader's answer).
void SetModuleFilePathForTests(const std::string& path);

}  // namespace cvn
