// Alive objects tracker: when switched on in the "Debug" settings, every
// component object registers with a short stack trace and Terminate reports
// the ones still alive.
// Thread safety: all operations may be called from any thread at once.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

class AliveObjectsTracker {
public:
    /// Made on first use; reads its switch from the settings then.
    static AliveObjectsTracker& Instance() noexcept;

    /// Does nothing when tracking is off; never throws.
    void Register(const void* object, const std::string& tag) noexcept;
    void Unregister(const void* object) noexcept;
    /// WARN lines for every object still registered; nothing when off or empty.
    void Report() noexcept;

    bool IsEnabled() const noexcept { return m_enabled; }
    size_t AliveCount() noexcept;

private:
    AliveObjectsTracker();

    struct Entry {
        std::string tag;
        std::vector<void*> returnAddresses;
    };

    bool m_enabled = false;
    unsigned m_framesToSkip = 0;
    std::mutex m_lock;
    std::unordered_map<const void*, Entry> m_objects;
};

}  // namespace corvane
