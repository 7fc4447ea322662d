// The process-wide settings store: answers (section, key) from its sources,
// the last registered first, so the environment beats the INI files.
// Thread safety: registration and lookup are guarded by the store's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/Settings/SettingsSource.h"

namespace cvn {

class SettingsStore {
public:
    /// The store of the process, made on first use with the INI source and then the environment source.
    static SettingsStore& Global();

    SettingsStore() = default;
    explicit SettingsStore(std::vector<std::shared_ptr<const ISettingsSource>> sources);

    /// Adds a source that is asked before every source registered earlier; null is ignored.
    void Register(std::shared_ptr<const ISettingsSource> source);
    /// Replaces every source (tests, and hosts that supply their own); an empty list leaves none.
    void ResetSources(std::vector<std::shared_ptr<const ISettingsSource>> sources);
    /// The sources the global store starts with: INI files of this process and module, then environment.
    static std::vector<std::shared_ptr<const ISettingsSource>> DefaultSources();

    /// Counts changes of the sources: what is read from the store and cached is read again when it moves.
    uint64_t Generation() const noexcept { return m_generation.load(std::memory_order_acquire); }

    /// The first hit from the last source back; kHrNotFound when none has it, E_ABORT when a source aborts.
    HRESULT GetSetting(std::string_view section, std::string_view key, std::string& value) const;

private:
    mutable std::recursive_mutex m_lock;
    std::vector<std::shared_ptr<const ISettingsSource>> m_sources;
    std::atomic<uint64_t> m_generation{0};
};

/// Lookup in the global store; an empty section means "General".
HRESULT GetSetting(std::string_view section, std::string_view key, std::string& value);
/// The value, or the default on any failure.
std::string GetSetting(std::string_view section, std::string_view key, std::string_view defaultValue);
/// An integer setting (decimal, or hexadecimal after "0x"); the default when missing or not a whole number.
int64_t GetSettingInt(std::string_view section, std::string_view key, int64_t defaultValue);

}  // namespace cvn
