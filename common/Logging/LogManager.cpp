// The log manager.
#include "common/Logging/LogManager.h"

#include <new>
#include <thread>

#include "platform/os/DebugOutput.h"

namespace cvn::log {

LogManager& LogManager::Instance() noexcept
{
    alignas(LogManager) static unsigned char storage[sizeof(LogManager)];
    static LogManager* manager = new (storage) LogManager();
    return *manager;
}

bool LogManager::Register(ILogSink* sink) noexcept
{
    if (!sink) return false;
    Unregister(sink);
    for (auto& slot : m_slots) {
        ILogSink* expected = nullptr;
        if (slot.compare_exchange_strong(expected, sink, std::memory_order_acq_rel)) return true;
    }
    os::DebugOutput("LogManager: Too many loggers");
    return false;
}

void LogManager::Unregister(ILogSink* sink) noexcept
{
    for (size_t i = 0; i < kLogSinkSlots; ++i) {
        ILogSink* expected = sink;
        if (!m_slots[i].compare_exchange_strong(expected, nullptr)) continue;
        // A write that read the slot before it was cleared may still be inside the sink.
        while (m_writers[i].load() != 0) std::this_thread::yield();
    }
}

void LogManager::WriteToAll(const char* text, size_t length) noexcept
{
    for (size_t i = 0; i < kLogSinkSlots; ++i) {
        if (!m_slots[i].load(std::memory_order_relaxed)) continue;
        // Counted before the slot is read again, so Unregister waits for this write.
        m_writers[i].fetch_add(1);
        if (ILogSink* sink = m_slots[i].load()) sink->Write(text, length);
        m_writers[i].fetch_sub(1);
    }
}

bool LogManager::HasSinks() const noexcept
{
    for (const auto& slot : m_slots)
        if (slot.load(std::memory_order_acquire)) return true;
    return false;
}

}  // namespace cvn::log
