// Settings from INI files: the file named by GLOBAL_SETTINGS_INI first, then
// the files beside the executable and beside the module, in a fixed order.
// Thread safety: the file list is fixed at construction; lookups may run on any thread at once.
#pragma once

#include <string>
#include <vector>

#include "common/Settings/EnvironmentSettingsSource.h"
#include "common/Settings/SettingsSource.h"

namespace cvn {

/// The INI files for an executable and a module path: <exe>.ini, <module>.ini and GlobalSettings.ini
/// beside the executable, then <module>.ini and GlobalSettings.ini beside the module when it lives
/// elsewhere. An empty path contributes nothing.
std::vector<std::string> BuildIniFileList(const std::string& executablePath, const std::string& modulePath);

class IniSettingsSource final : public ISettingsSource {
public:
    /// The files of this process and module, and the process environment for GLOBAL_SETTINGS_INI.
    IniSettingsSource();
    IniSettingsSource(std::vector<std::string> files, EnvironmentLookup environment);

    /// The first non-empty value, trimmed; kHrNotFound when no file has one (unreadable files count as empty).
    HRESULT Get(std::string_view section, std::string_view key, std::string& value) const override;
    const std::vector<std::string>& Files() const noexcept { return m_files; }

private:
    std::vector<std::string> m_files;
    EnvironmentLookup m_environment;
};

}  // namespace cvn
