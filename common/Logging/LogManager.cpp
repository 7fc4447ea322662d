// The log manager.
#include "common/Logging/LogManager.h"

#include <new>

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
    for (auto& slot : m_slots) {
        ILogSink* expected = sink;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
}

void LogManager::WriteToAll(const char* text, size_t length) noexcept
{
    for (auto& slot : m_slots)
        if (ILogSink* sink = slot.load(std::memory_order_acquire)) sink->Write(text, length);
}

bool LogManager::HasSinks() const noexcept
{
    for (const auto& slot : m_slots)
        if (slot.load(std::memory_order_acquire)) return true;
    return false;
}

}  // namespace cvn::log
