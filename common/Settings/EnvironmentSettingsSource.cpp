// Settings from the environment.
#include "common/Settings/EnvironmentSettingsSource.h"

#include "platform/os/Environment.h"

namespace cvn {

EnvironmentLookup ProcessEnvironment()
{
    return [](const std::string& name) { return os::GetEnvironmentVariable(name); };
}

EnvironmentSettingsSource::EnvironmentSettingsSource(EnvironmentLookup lookup) : m_lookup(std::move(lookup)) {}

HRESULT EnvironmentSettingsSource::Get(std::string_view section, std::string_view key, std::string& value) const
{
    std::string name = "GS_";
    name += section.empty() ? std::string_view("General") : section;
    name += '_';
    name += key;
    const auto found = m_lookup ? m_lookup(name) : std::nullopt;
    if (!found) return kHrNotFound;
    value = TrimSetting(*found);
    return S_OK;
}

}  // namespace cvn
