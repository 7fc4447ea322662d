// One source of process-wide settings (INI files, environment), asked by
// (section, key) through the settings store.
// Thread safety: implementations must allow lookups from any thread at once.
#pragma once

#include <string>
#include <string_view>

#include "corvane/Platform.h"

namespace cvn {

struct ISettingsSource {
    virtual ~ISettingsSource() = default;
    /// S_OK (or any success) with the value; kHrNotFound when absent; E_ABORT ends the whole lookup.
    virtual HRESULT Get(std::string_view section, std::string_view key, std::string& value) const = 0;
};

/// White space trimmed at both ends.
std::string TrimSetting(std::string_view text);

}  // namespace cvn
