// Settings from INI files.
#include "common/Settings/IniSettingsSource.h"

#include "common/Settings/ModuleFile.h"
#include "platform/os/Ini.h"
#include "platform/os/Process.h"

namespace cvn {

std::vector<std::string> BuildIniFileList(const std::string& executablePath, const std::string& modulePath)
{
    std::vector<std::string> files;
    const std::string exeDir = DirectoryOf(executablePath);
    const std::string moduleDir = DirectoryOf(modulePath);
    const std::string moduleName = StemOf(modulePath);
    const bool moduleIsExecutable = modulePath.empty() || modulePath == executablePath;
    if (!executablePath.empty()) {
        files.push_back(exeDir + StemOf(executablePath) + ".ini");
        if (!moduleIsExecutable) files.push_back(exeDir + moduleName + ".ini");
        files.push_back(exeDir + "GlobalSettings.ini");
    }
    if (!moduleIsExecutable && (executablePath.empty() || moduleDir != exeDir)) {
        files.push_back(moduleDir + moduleName + ".ini");
        files.push_back(moduleDir + "GlobalSettings.ini");
    }
    return files;
}

IniSettingsSource::IniSettingsSource()
    : IniSettingsSource(BuildIniFileList(os::ExecutablePath(), ModuleFilePath()), ProcessEnvironment())
{
}

IniSettingsSource::IniSettingsSource(std::vector<std::string> files, EnvironmentLookup environment)
    : m_files(std::move(files)), m_environment(std::move(environment))
{
}

HRESULT IniSettingsSource::Get(std::string_view section, std::string_view key, std::string& value) const
{
    if (section.empty()) section = "General";
    std::string found;
    const auto first = m_environment ? m_environment("GLOBAL_SETTINGS_INI") : std::nullopt;
    if (first && !first->empty()) found = TrimSetting(os::ReadIniValue(*first, section, key));
    for (size_t i = 0; found.empty() && i < m_files.size(); ++i)
        found = TrimSetting(os::ReadIniValue(m_files[i], section, key));
    if (found.empty()) return kHrNotFound;
    value = std::move(found);
    return S_OK;
}

}  // namespace cvn
