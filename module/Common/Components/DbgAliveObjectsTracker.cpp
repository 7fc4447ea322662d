// Alive objects tracker. The switch comes from the "Debug" settings once the
// settings store exists; until then tracking stays off.
#include "Components/DbgAliveObjectsTracker.h"

#include <new>

namespace corvane {

AliveObjectsTracker& AliveObjectsTracker::Instance() noexcept
{
    alignas(AliveObjectsTracker) static unsigned char storage[sizeof(AliveObjectsTracker)];
    static AliveObjectsTracker* instance = new (storage) AliveObjectsTracker();
    return *instance;
}

AliveObjectsTracker::AliveObjectsTracker() = default;

void AliveObjectsTracker::Register(const void* object, const std::string& tag) noexcept
{
    if (!m_enabled) return;
    try {
        std::lock_guard<std::mutex> guard(m_lock);
        m_objects[object] = Entry{tag, {}};
    } catch (...) {
    }
}

void AliveObjectsTracker::Unregister(const void* object) noexcept
{
    if (!m_enabled) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_objects.erase(object);
}

void AliveObjectsTracker::Report() noexcept {}

size_t AliveObjectsTracker::AliveCount() noexcept
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.size();
}

}  // namespace corvane
