// Runs build/bin/corvane-host as a child process with pipes, for the tests
// that go through the program (a child that outlives its deadline is killed),
// and copies the shipped configuration for runs that change it.
// Thread safety: one HostProcess per test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestBasics.h"

namespace cvn::test {

struct HostRun {
    int exitCode = -1;  ///< the exit status, or 128 + signal when killed by a signal
    std::string out;
    std::string err;
};

class HostProcess {
public:
    /// Starts corvane-host with the arguments; stdinText is written to its standard input, then closed.
    HostProcess(const std::vector<std::string>& args, const std::string& stdinText = {});
    /// Kills a child still running.
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    /// Reads standard error (output) until it holds text (true) or the child ends or the wait passes (false).
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds wait);
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds wait);
    /// Standard output read so far.
    const std::string& Out() const { return m_run.out; }
    void Signal(int signal) const;
    /// Collects the output and the exit code; kills the child after the deadline.
    HostRun Finish(std::chrono::milliseconds deadline = std::chrono::seconds(60));

private:
    void Pump(int timeoutMs);
    bool WaitFor(const std::string& stream, const std::string& text, std::chrono::milliseconds wait);

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    HostRun m_run;
};

/// Starts, finishes and returns the run.
HostRun RunHost(const std::vector<std::string>& args, const std::string& stdinText = {});

/// build/bin/config, the shipped configuration beside the program.
std::string HostConfigDir();
/// The file's text ("" when it cannot be read).
std::string ReadFile(const std::string& path);
/// The shipped configuration copied to dir/config, the module taken from the build and each {from, to}
/// replaced once in host.cfg.xml (a test failure when from is missing); the path of that host.cfg.xml.
std::string CopyShippedConfiguration(const TempDir& dir,
                                     const std::vector<std::pair<std::string, std::string>>& changes = {});

}  // namespace cvn::test
