// Message texts of HRESULTs: the message modules, the system table and a cache.
// Thread safety: every function may be called from any thread at once; the cache
// is read under a shared lock and written under an exclusive one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "corvane/Platform.h"

namespace cvn {

struct MessageModuleLists;

/// The text of a code with its trailing blanks, dots, CR and LF removed; "<no description>" when
/// no table knows it. Never throws except std::bad_alloc.
std::string GetErrorMessage(HRESULT code);
/// As above, the text used as a printf-style format for the arguments (each conversion takes the
/// next argument as text; a conversion without an argument stays as written). Not cached.
std::string GetErrorMessage(HRESULT code, const std::vector<std::string>& arguments);

/// Texts by code; on unless switched off.
class MessageCache {
public:
    /// Nothing when absent or when the cache is off.
    std::optional<std::string> Find(HRESULT code) const;
    /// Ignored when the cache is off.
    void Store(HRESULT code, const std::string& text);
    void SetEnabled(bool enabled) noexcept { m_enabled.store(enabled); }
    bool IsEnabled() const noexcept { return m_enabled.load(); }

private:
    mutable std::shared_mutex m_lock;
    std::unordered_map<HRESULT, std::string> m_texts;
    std::atomic<bool> m_enabled{true};
};

/// The lookup behind GetErrorMessage, with its sources given (the process uses its own).
class MessageLookup {
public:
    using SystemTable = std::function<std::optional<std::string>(uint32_t)>;

    MessageLookup(const MessageModuleLists& modules, SystemTable systemTable, MessageCache& cache)
        : m_modules(modules), m_systemTable(std::move(systemTable)), m_cache(cache)
    {
    }

    /// arguments null: no arguments (the text is cached).
    std::string GetErrorMessage(HRESULT code, const std::vector<std::string>* arguments) const;

private:
    std::optional<std::string> FindUnformatted(HRESULT code) const;

    const MessageModuleLists& m_modules;
    SystemTable m_systemTable;
    MessageCache& m_cache;
};

/// Substitutes the arguments, as text, for the printf-style conversions of format; "%%" gives "%".
std::string FormatMessageArguments(std::string_view format, const std::vector<std::string>& arguments);

}  // namespace cvn
