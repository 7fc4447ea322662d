// Settings from environment variables named "GS_" + section + "_" + key.
// Thread safety: lookups may run on any thread at once.
#pragma once

#include <functional>
#include <optional>

#include "common/Settings/SettingsSource.h"

namespace cvn {

/// Reads a variable; nothing when unset. Replaceable so tests do not touch the process environment.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

/// The process environment.
EnvironmentLookup ProcessEnvironment();

class EnvironmentSettingsSource final : public ISettingsSource {
public:
    explicit EnvironmentSettingsSource(EnvironmentLookup lookup = ProcessEnvironment());
    /// kHrNotFound when the variable is unset; a set value is trimmed (an empty one is a hit).
    HRESULT Get(std::string_view section, std::string_view key, std::string& value) const override;

private:
    EnvironmentLookup m_lookup;
};

}  // namespace cvn
