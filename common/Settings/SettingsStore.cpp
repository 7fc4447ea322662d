// The settings store and its lookups.
#include "common/Settings/SettingsStore.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "common/Settings/EnvironmentSettingsSource.h"
#include "common/Settings/IniSettingsSource.h"

namespace cvn {

std::string TrimSetting(std::string_view text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n\f\v");
    if (begin == std::string_view::npos) return {};
    return std::string(text.substr(begin, text.find_last_not_of(" \t\r\n\f\v") - begin + 1));
}

SettingsStore& SettingsStore::Global()
{
    // Never destroyed: components released during process exit may still read settings.
    alignas(SettingsStore) static unsigned char storage[sizeof(SettingsStore)];
    static SettingsStore* store = new (storage) SettingsStore(DefaultSources());
    return *store;
}

SettingsStore::SettingsStore(std::vector<std::shared_ptr<const ISettingsSource>> sources)
{
    ResetSources(std::move(sources));
}

std::vector<std::shared_ptr<const ISettingsSource>> SettingsStore::DefaultSources()
{
    return {std::make_shared<IniSettingsSource>(), std::make_shared<EnvironmentSettingsSource>()};
}

void SettingsStore::Register(std::shared_ptr<const ISettingsSource> source)
{
    if (!source) return;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_sources.push_back(std::move(source));
    m_generation.fetch_add(1, std::memory_order_acq_rel);
}

void SettingsStore::ResetSources(std::vector<std::shared_ptr<const ISettingsSource>> sources)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_sources.clear();
    for (auto& source : sources)
        if (source) m_sources.push_back(std::move(source));
    m_generation.fetch_add(1, std::memory_order_acq_rel);
}

HRESULT SettingsStore::GetSetting(std::string_view section, std::string_view key, std::string& value) const
{
    if (section.empty()) section = "General";
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (auto it = m_sources.rbegin(); it != m_sources.rend(); ++it) {
        std::string found;
        const HRESULT hr = (*it)->Get(section, key, found);
        if (Succeeded(hr)) {
            value = std::move(found);
            return hr;
        }
        if (hr == E_ABORT) return hr;
        // Any other failure of one source leaves the others to answer.
    }
    return kHrNotFound;
}

HRESULT GetSetting(std::string_view section, std::string_view key, std::string& value)
{
    return SettingsStore::Global().GetSetting(section, key, value);
}

std::string GetSetting(std::string_view section, std::string_view key, std::string_view defaultValue)
{
    try {
        std::string value;
        if (Succeeded(GetSetting(section, key, value))) return value;
    } catch (...) {
        // A failing source never fails the reader: it takes the default.
    }
    return std::string(defaultValue);
}

int64_t GetSettingInt(std::string_view section, std::string_view key, int64_t defaultValue)
{
    const std::string text = GetSetting(section, key, "");
    if (text.empty()) return defaultValue;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return defaultValue;
    return value;
}

}  // namespace cvn
