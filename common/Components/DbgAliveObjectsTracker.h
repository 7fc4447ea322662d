// Alive objects tracker: when switched on in the "Debug" settings, every
// component object registers with a short stack trace and Terminate reports
// the ones still alive.
// Thread safety: all operations may be called from any thread at once.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace cvn {

class AliveObjectsTracker {
public:
    /// Made on first use; reads "Debug"/"EnableAliveObjectsTracking" (and the frames to skip) then.
    static AliveObjectsTracker& Instance() noexcept;

    /// Does nothing when tracking is off; never throws.
    void Register(const void* object, const std::string& tag) noexcept;
    void Unregister(const void* object) noexcept;
    /// "Alive component objects: N" and one "ObjTag=... Ptr=... EIPs=..." WARN line per object still
    /// registered; nothing when off or empty.
    void Report() noexcept;

    bool IsEnabled() const noexcept { return m_enabled; }
    size_t AliveCount() noexcept;
    /// Reads the "Debug" settings again and forgets every registered object. For tests.
    void ReadSettings() noexcept;

private:
    AliveObjectsTracker();

    struct Entry {
        std::string tag;
        std::vector<const void*> returnAddresses;
    };

    std::atomic<bool> m_enabled{false};
    unsigned m_framesToSkip = 0;
    std::mutex m_lock;
    std::unordered_map<const void*, Entry> m_objects;
};

}  // namespace cvn
