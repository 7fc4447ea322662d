// The log manager: four sink slots, changed only by compare-and-swap, that
// receive every line written without an explicit sink.
// Thread safety: registration and writes may run on any thread at once.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "common/Logging/LogSink.h"

namespace cvn::log {

inline constexpr size_t kLogSinkSlots = 4;

class LogManager {
public:
    static LogManager& Instance() noexcept;

    /// Moves the sink to the first free slot; false (and "LogManager: Too many loggers" on the debug
    /// output) when every slot is taken; null is refused.
    bool Register(ILogSink* sink) noexcept;
    /// Clears every slot that holds the sink and returns once no write is inside it, so the sink may
    /// be destroyed; an unknown sink changes nothing. Not to be called from the sink's own Write.
    void Unregister(ILogSink* sink) noexcept;
    /// Hands the line to every registered sink in slot order.
    void WriteToAll(const char* text, size_t length) noexcept;
    bool HasSinks() const noexcept;

private:
    LogManager() = default;
    std::array<std::atomic<ILogSink*>, kLogSinkSlots> m_slots{};
    std::array<std::atomic<int>, kLogSinkSlots> m_writers{};  ///< writes in progress through each slot
};

}  // namespace cvn::log
