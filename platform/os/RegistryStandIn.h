// A small file-backed stand-in for the system registry: under a root directory
// each hive is a folder ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"), each key a
// path of folders ending in a "<key>.reg" file of "name = TYPE:data" lines.
// Key components are matched without regard to case, as the registry does.
// Thread safety: reads may run on any thread at once; SetRegistryRoot is for tests and start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvn::os {

enum class RegistryHive { LocalMachine, CurrentUser };

inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_DWORD = 4;

struct RegistryValue {
    std::string name;
    uint32_t type = REG_SZ;
    std::string data;  ///< strings as written; REG_DWORD as its decimal text
};

/// The directory that holds the hives: CORVANE_REGISTRY_ROOT when set, else /etc/corvane/registry,
/// unless SetRegistryRoot chose another.
std::string RegistryRoot();
/// Overrides the root directory (empty restores the default). For tests and hosts.
void SetRegistryRoot(const std::string& directory);

/// Reads every value of the key, in file order. Returns 0, or the Win32 error: ERROR_FILE_NOT_FOUND
/// when the key does not exist, ERROR_ACCESS_DENIED when its file cannot be read. A line that is
/// not "name = REG_SZ:...", "REG_EXPAND_SZ:..." or "REG_DWORD:<number>" is skipped and named on the
/// debug output.
uint32_t ReadRegistryKey(RegistryHive hive, const std::string& subkey, std::vector<RegistryValue>& values);

}  // namespace cvn::os
