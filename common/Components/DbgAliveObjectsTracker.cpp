// Alive objects tracker: switched on by "Debug"/"EnableAliveObjectsTracking".
#include "common/Components/DbgAliveObjectsTracker.h"

#include <cinttypes>
#include <cstdio>
#include <new>

#include "common/Logging/Log.h"
#include "common/Settings/SettingsStore.h"
#include "platform/os/StackCapture.h"

namespace cvn {
namespace {
constexpr uint32_t kFramesKept = 4;
}  // namespace

AliveObjectsTracker& AliveObjectsTracker::Instance() noexcept
{
    alignas(AliveObjectsTracker) static unsigned char storage[sizeof(AliveObjectsTracker)];
    static AliveObjectsTracker* instance = new (storage) AliveObjectsTracker();
    return *instance;
}

AliveObjectsTracker::AliveObjectsTracker() { ReadSettings(); }

void AliveObjectsTracker::ReadSettings() noexcept
{
    try {
        const bool enabled = GetSettingInt("Debug", "EnableAliveObjectsTracking", 0) != 0;
        const int64_t skip = enabled ? GetSettingInt("Debug", "AliveObjectsTrackingFramesToSkip", 0) : 0;
        std::lock_guard<std::mutex> guard(m_lock);
        m_framesToSkip = skip < 0 || skip > 64 ? 0 : static_cast<unsigned>(skip);
        m_objects.clear();
        m_enabled = enabled;
    } catch (...) {
        m_enabled = false;
    }
}

__attribute__((noinline)) void AliveObjectsTracker::Register(const void* object, const std::string& tag) noexcept
{
    if (!m_enabled) return;
    try {
        // Skip this function, then the configured wrapper frames above the registering call.
        const void* frames[kFramesKept] = {};
        const uint32_t count = os::CaptureStackBackTrace(m_framesToSkip + 1, kFramesKept, frames);
        Entry entry{tag, std::vector<const void*>(frames, frames + count)};
        std::lock_guard<std::mutex> guard(m_lock);
        m_objects[object] = std::move(entry);
    } catch (...) {
        // Tracking is a diagnostic: running out of memory must not fail the object's construction.
    }
}

void AliveObjectsTracker::Unregister(const void* object) noexcept
{
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_objects.erase(object);
}

void AliveObjectsTracker::Report() noexcept
{
    if (!m_enabled) return;
    try {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_objects.empty()) return;
        CV_LOG(Warn, "Alive component objects: " << static_cast<uint64_t>(m_objects.size()));
        for (const auto& [object, entry] : m_objects) {
            std::string addresses;
            for (const void* address : entry.returnAddresses) {
                char text[24];
                std::snprintf(text, sizeof text, "0x%016" PRIXPTR ";", reinterpret_cast<uintptr_t>(address));
                addresses += text;
            }
            if (!addresses.empty()) addresses.pop_back();
            CV_LOG(Warn, "ObjTag='" << entry.tag << "' Ptr=" << object << " EIPs=" << addresses);
        }
    } catch (...) {
    }
}

size_t AliveObjectsTracker::AliveCount() noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.size();
}

}  // namespace cvn
