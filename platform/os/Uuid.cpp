// Random version-4 UUIDs from a per-thread generator seeded by the random device.
#include "platform/os/Uuid.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

namespace cvn::os {

namespace {

std::mt19937_64 MakeEngine() noexcept
{
    std::seed_seq::result_type seeds[4] = {};
    try {
        std::random_device device;
        for (auto& seed : seeds) seed = device();
    } catch (...) {
        // No entropy source: time and thread still keep threads and runs apart.
        const auto now = static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
        const auto thread = static_cast<uint64_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
        seeds[0] = static_cast<uint32_t>(now);
        seeds[1] = static_cast<uint32_t>(now >> 32);
        seeds[2] = static_cast<uint32_t>(thread);
        seeds[3] = static_cast<uint32_t>(thread >> 32);
    }
    std::seed_seq sequence(std::begin(seeds), std::end(seeds));
    return std::mt19937_64(sequence);
}

}  // namespace

GUID NewUuid() noexcept
{
    thread_local std::mt19937_64 engine = MakeEngine();
    uint8_t bytes[16];
    const uint64_t high = engine();
    const uint64_t low = engine();
    std::memcpy(bytes, &high, 8);
    std::memcpy(bytes + 8, &low, 8);
    GUID result;
    std::memcpy(&result, bytes, sizeof result);
    result.Data3 = static_cast<uint16_t>((result.Data3 & 0x0FFF) | 0x4000);
    result.Data4[0] = static_cast<uint8_t>((result.Data4[0] & 0x3F) | 0x80);
    return result;
}

}  // namespace cvn::os
