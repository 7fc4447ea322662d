// The data directory service: the directory that relative paths (the log
// directory) resolve against, and a table of per-path overrides read from the
// registry stand-in.
// Thread safety: read-only after construction; the global instance is made once (tests may reset it).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/RegistryStandIn.h"

namespace cvn {

/// A registry key text split into its hive and subkey: "HKLM"/"HKEY_LOCAL_MACHINE" and
/// "HKCU"/"HKEY_CURRENT_USER" followed by "\" or "/" name the hive; anything else is wholly a
/// subkey of HKEY_LOCAL_MACHINE.
struct RegistryKeyText {
    os::RegistryHive hive = os::RegistryHive::LocalMachine;
    std::string subkey;
};
RegistryKeyText ParseRegistryKeyText(const std::string& text);

/// True unless the path begins with "\" or "/" or its second character is ":".
bool IsRelativePath(const std::string& path);
/// Path components split at "\" and "/", empty ones dropped.
std::vector<std::string> SplitPathComponents(const std::string& path);

class DataDirectory {
public:
    /// Reads General/DataDirectoryPathOverrideRegKey and General/DataDirectoryPath from the global
    /// settings; an unreadable override key leaves the table empty. Throws HRX when the key's values
    /// cannot be enumerated.
    DataDirectory();
    /// A service with the given directory (already expanded and absolute) and override table.
    DataDirectory(std::string directory, std::map<std::vector<std::string>, std::string> overrides);

    /// The process's service, made on first use and again after the settings sources change.
    static std::shared_ptr<const DataDirectory> Global();

    /// Expands %VAR%; a relative path takes its longest overridden leading run from the table and
    /// otherwise lands under the data directory; an absolute path is returned expanded.
    std::string ResolvePath(const std::string& path) const;

    const std::string& Directory() const noexcept { return m_directory; }
    size_t OverrideCount() const noexcept { return m_overrides.size(); }

    /// The override table of a registry key text: REG_SZ and REG_EXPAND_SZ values, expanded, keyed by
    /// their names' path components (lower case). Empty when the key cannot be opened.
    static std::map<std::vector<std::string>, std::string> ReadOverrides(const std::string& keyText);
    /// A component list in the table's key form (ASCII lower case).
    static std::vector<std::string> OverrideKey(const std::vector<std::string>& components);

private:
    std::string m_directory;  ///< ends with "/" unless empty
    std::map<std::vector<std::string>, std::string> m_overrides;
};

/// ResolvePath of the process's data directory service; on failure the path expanded but unresolved.
std::string ResolvePath(const std::string& path);

}  // namespace cvn
