// The data directory service.
#include "common/Settings/DataDirectory.h"

#include <mutex>

#include "common/ErrorHandling/HRX.h"
#include "common/Settings/ModuleFile.h"
#include "common/Settings/SettingsStore.h"
#include "platform/os/Environment.h"

namespace cvn {
namespace {

std::mutex g_globalLock;
std::shared_ptr<const DataDirectory> g_global;
uint64_t g_globalGeneration = 0;  // of the settings it was read from

std::string WithTrailingSeparator(std::string directory)
{
    if (!directory.empty() && directory.back() != '/' && directory.back() != '\\') directory += '/';
    return directory;
}

// Joins a component to a directory with one separator between them.
std::string PathCombine(const std::string& directory, const std::string& component)
{
    if (directory.empty()) return component;
    return WithTrailingSeparator(directory) + component;
}

}  // namespace

RegistryKeyText ParseRegistryKeyText(const std::string& text)
{
    static const struct {
        const char* name;
        os::RegistryHive hive;
    } kRoots[] = {{"HKLM", os::RegistryHive::LocalMachine},
                  {"HKEY_LOCAL_MACHINE", os::RegistryHive::LocalMachine},
                  {"HKCU", os::RegistryHive::CurrentUser},
                  {"HKEY_CURRENT_USER", os::RegistryHive::CurrentUser}};
    const size_t separator = text.find_first_of("\\/");
    if (separator != std::string::npos) {
        const std::string root = text.substr(0, separator);
        for (const auto& candidate : kRoots)
            if (root == candidate.name) return {candidate.hive, text.substr(separator + 1)};
    }
    return {os::RegistryHive::LocalMachine, text};
}

bool IsRelativePath(const std::string& path)
{
    if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return false;
    return !(path.size() >= 2 && path[1] == ':');
}

std::vector<std::string> SplitPathComponents(const std::string& path)
{
    std::vector<std::string> components;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find_first_of("\\/", pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos) components.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return components;
}

std::vector<std::string> DataDirectory::OverrideKey(const std::vector<std::string>& components)
{
    std::vector<std::string> key = components;
    for (auto& component : key)
        for (char& c : component)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

std::map<std::vector<std::string>, std::string> DataDirectory::ReadOverrides(const std::string& keyText)
{
    std::map<std::vector<std::string>, std::string> table;
    const RegistryKeyText key = ParseRegistryKeyText(keyText);
    std::vector<os::RegistryValue> values;
    const uint32_t error = os::ReadRegistryKey(key.hive, key.subkey, values);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED || error == ERROR_PATH_NOT_FOUND) return table;
    ThrowIf(error != 0, HResultFromWin32(error));
    for (const auto& value : values) {
        if (value.type != os::REG_SZ && value.type != os::REG_EXPAND_SZ) continue;
        const auto components = SplitPathComponents(value.name);
        if (components.empty()) continue;
        table[OverrideKey(components)] = os::ExpandEnvironmentStrings(value.data);
    }
    return table;
}

DataDirectory::DataDirectory()
{
    const std::string keyText = GetSetting("General", "DataDirectoryPathOverrideRegKey", "");
    if (!keyText.empty()) m_overrides = ReadOverrides(keyText);
    std::string directory = os::ExpandEnvironmentStrings(GetSetting("General", "DataDirectoryPath", ""));
    if (directory.empty() || IsRelativePath(directory)) directory = ModuleDirectory() + directory;
    // Relative paths are appended directly, so the directory must end with a separator.
    m_directory = WithTrailingSeparator(directory);
}

DataDirectory::DataDirectory(std::string directory, std::map<std::vector<std::string>, std::string> overrides)
    : m_directory(WithTrailingSeparator(std::move(directory))), m_overrides(std::move(overrides))
{
}

std::shared_ptr<const DataDirectory> DataDirectory::Global()
{
    std::lock_guard<std::mutex> guard(g_globalLock);
    const uint64_t generation = SettingsStore::Global().Generation();
    if (!g_global || generation != g_globalGeneration) {
        g_global = std::make_shared<const DataDirectory>();
        g_globalGeneration = generation;
    }
    return g_global;
}

std::string DataDirectory::ResolvePath(const std::string& path) const
{
    std::string result = os::ExpandEnvironmentStrings(path);
    if (!IsRelativePath(result)) return result;
    if (!m_overrides.empty()) {
        const auto components = SplitPathComponents(result);
        const auto key = OverrideKey(components);
        for (size_t length = components.size(); length > 0; --length) {
            const auto found = m_overrides.find(std::vector<std::string>(key.begin(), key.begin() + length));
            if (found == m_overrides.end()) continue;
            std::string combined = found->second;
            for (size_t i = length; i < components.size(); ++i) combined = PathCombine(combined, components[i]);
            // A trailing separator of the input (a directory) stays a directory.
            if (!result.empty() && (result.back() == '/' || result.back() == '\\')) combined = WithTrailingSeparator(combined);
            if (!IsRelativePath(combined)) return combined;
            result = combined;
            break;
        }
    }
    return m_directory + result;
}

std::string ResolvePath(const std::string& path)
{
    try {
        return DataDirectory::Global()->ResolvePath(path);
    } catch (...) {
        return os::ExpandEnvironmentStrings(path);
    }
}

}  // namespace cvn
