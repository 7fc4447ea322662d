// Debugger output on this platform: standard error, one line per message.
#include "platform/os/DebugOutput.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace cvn::os {
namespace {

std::mutex& CaptureLock()
{
    static std::mutex lock;
    return lock;
}

std::function<void(const std::string&)>& Capture()
{
    static std::function<void(const std::string&)> capture;
    return capture;
}

}  // namespace

void DebugOutput(const std::string& text) noexcept
{
    try {
        std::string line = text;
        if (line.empty() || line.back() != '\n') line += '\n';
        std::lock_guard<std::mutex> guard(CaptureLock());
        if (Capture()) {
            Capture()(line);
            return;
        }
        std::fwrite(line.data(), 1, line.size(), stderr);
    } catch (...) {
        // Diagnostics must never fail their caller.
    }
}

void DebugOutputF(const char* format, ...) noexcept
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    DebugOutput(written < 0 ? std::string(format) : std::string(buffer));
}

void SetDebugOutputCapture(std::function<void(const std::string&)> capture)
{
    std::lock_guard<std::mutex> guard(CaptureLock());
    Capture() = std::move(capture);
}

}  // namespace cvn::os
