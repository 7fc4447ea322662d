// The one failure the host program reports to its user: a message that names
// what is wrong, and the exit code it ends with.
// Thread safety: a plain exception type.
#pragma once

#include <stdexcept>
#include <string>

namespace cvn::hostmain {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailedAnswer = 1;  ///< a request was answered with a failure
inline constexpr int kExitUsage = 2;         ///< bad command line
inline constexpr int kExitSetup = 3;         ///< configuration, module or database could not be set up

class HostError : public std::runtime_error {
public:
    HostError(std::string message, int exitCode = kExitSetup) : std::runtime_error(std::move(message)), m_exitCode(exitCode) {}
    int ExitCode() const noexcept { return m_exitCode; }

private:
    int m_exitCode;
};

/// The message of whatever is being handled (HRX: its code and description); call inside catch.
std::string CurrentErrorText();

}  // namespace cvn::hostmain
