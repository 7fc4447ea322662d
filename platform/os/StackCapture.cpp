// backtrace() stands in for the system's stack capture.
#include "os/StackCapture.h"

#include <execinfo.h>

namespace corvane::os {

namespace {
constexpr int kMaxFrames = 64;
}

__attribute__((noinline)) uint32_t CaptureStackBackTrace(uint32_t framesToSkip, uint32_t count,
                                                         const void** frames) noexcept
{
    if (!frames || count == 0) return 0;
    void* buffer[kMaxFrames];
    // Frame 0 is this function itself.
    const uint64_t wanted = uint64_t{framesToSkip} + count + 1;
    const int depth = backtrace(buffer, wanted < kMaxFrames ? static_cast<int>(wanted) : kMaxFrames);
    uint32_t written = 0;
    for (uint64_t i = uint64_t{framesToSkip} + 1; i < static_cast<uint64_t>(depth) && written < count; ++i)
        frames[written++] = buffer[i];
    return written;
}

}  // namespace corvane::os
