// Facts about the running process and its loaded files: executable path,
// the file a code address belongs to, its load address, the command line, ids.
// Thread safety: may be called from any thread at once.
#pragma once

#include <cstdint>
#include <string>

namespace cvn::os {

/// Full path of the executable; "" when the system does not say.
std::string ExecutablePath();
/// Full path of the loaded file (shared library or executable) that holds the address; "" when none.
std::string ModulePathOf(const void* address);
/// Load address of that file; null when none.
const void* ModuleBaseOf(const void* address);
/// The command line, arguments joined by one blank; "" when unreadable.
std::string CommandLine();
uint32_t ProcessId() noexcept;
uint32_t CurrentThreadId() noexcept;

}  // namespace cvn::os
