// A log sink: where formatted lines go (the module's file, a test's buffer).
// Thread safety: Write may be called from any thread at once; implementations serialise what they must.
#pragma once

#include <cstddef>

namespace cvn {

struct ILogSink {
    /// Takes one complete UTF-8 line (with its CR LF); never throws, drops the line on failure.
    virtual void Write(const char* text, size_t length) noexcept = 0;

protected:
    ~ILogSink() = default;
};

}  // namespace cvn
