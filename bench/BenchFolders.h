// The cached benchmark data's temporary folders: a preparation writes into
// "<prefix><pid>" and renames it when done, so a folder whose process is gone
// was left by a stopped run.
// Thread safety: call before starting a preparation; not concurrently with one.
#pragma once

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace cvn::bench {

/// Removes the folders "<prefix><pid>" in directory whose process no longer exists; errors are ignored.
inline void RemoveAbandoned(const std::filesystem::path& directory, const std::string& prefix)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(entry.path(), error);
    }
}

}  // namespace cvn::bench
