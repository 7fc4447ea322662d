// The module's own log: a file sink named after the module file ("libcorvane.log"),
// with the banner naming the module, its version and the process, registered on first use.
// Thread safety: EnsureModuleLog may run on any thread; the test reset must not race with logging.
#pragma once

#include <string>

namespace cvn::log {

class FileLogger;

/// The banner: module path and load address, version, "Corvane64", process path and id, command line.
std::string BuildBanner(const std::string& modulePath, const void* baseAddress, const std::string& processPath,
                        uint32_t processId, const std::string& commandLine);

/// Creates and registers the module's file sink once; later calls do nothing. Never throws.
void EnsureModuleLog() noexcept;
/// The module's sink; null before EnsureModuleLog or when it could not be made.
FileLogger* ModuleLogSink() noexcept;

}  // namespace cvn::log
