// The debugger output stand-in: one line on standard error per message, or a
// capture function that tests install to read what was sent.
// Thread safety: may be called from any thread at once; installing a capture is not synchronised with output.
#pragma once

#include <functional>
#include <string>

namespace cvn::os {

/// Sends the text (a trailing "\n" is added when missing) to standard error or the capture; never throws.
void DebugOutput(const std::string& text) noexcept;
/// printf-style form of DebugOutput; a format error sends the format itself.
void DebugOutputF(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

/// Replaces standard error by the given function (empty restores standard error). For tests.
void SetDebugOutputCapture(std::function<void(const std::string&)> capture);

}  // namespace cvn::os
