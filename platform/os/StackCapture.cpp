// backtrace() stands in for the system's stack capture.
#include "platform/os/StackCapture.h"

#include <execinfo.h>

namespace cvn::os {

namespace {
constexpr int kMaxFrames = 64;
constexpr int kExtraFrames = 4;  // room for wrappers around backtrace() (sanitizer interceptors)
}  // namespace

__attribute__((noinline)) uint32_t CaptureStackBackTrace(uint32_t framesToSkip, uint32_t count,
                                                         const void** frames) noexcept
{
    if (!frames || count == 0) return 0;
    void* buffer[kMaxFrames];
    const uint64_t wanted = uint64_t{framesToSkip} + count + kExtraFrames;
    const int depth = backtrace(buffer, wanted < kMaxFrames ? static_cast<int>(wanted) : kMaxFrames);
    // Start at our caller's frame, found by its return address: the frames before it
    // (this function, wrappers of backtrace) vary with the build.
    const void* caller = __builtin_return_address(0);
    int first = 1;
    for (int i = 0; i < depth; ++i) {
        if (buffer[i] == caller) {
            first = i;
            break;
        }
    }
    uint32_t written = 0;
    for (uint64_t i = uint64_t(first) + framesToSkip; i < static_cast<uint64_t>(depth) && written < count; ++i)
        frames[written++] = buffer[i];
    return written;
}

}  // namespace cvn::os
