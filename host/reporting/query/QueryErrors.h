// How translation reports bad input: HRX 0x8007000D with a message that names
// what is wrong, never a partial statement.
// Thread safety: touches only the calling thread's error object.
#pragma once

#include <string>

namespace cvn::reporting {



/// Throws HRX 0x8007000D with the message as its description.
[[noreturn]] void FailTranslation(const std::string& message);

}  // namespace cvn::reporting
