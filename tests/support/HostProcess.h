// Runs build/bin/corvane-host as a child process with pipes, for the tests
// that go through the program; a child that outlives its deadline is killed.
// Thread safety: one HostProcess per test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

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

    /// Reads standard error until it holds text (true) or the child ends or the wait passes (false).
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds wait);
    void Signal(int signal) const;
    /// Collects the output and the exit code; kills the child after the deadline.
    HostRun Finish(std::chrono::milliseconds deadline = std::chrono::seconds(60));

private:
    void Pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    HostRun m_run;
};

/// Starts, finishes and returns the run.
HostRun RunHost(const std::vector<std::string>& args, const std::string& stdinText = {});

/// build/bin/corvane-host, config/ beside it, and a fresh temporary directory per call.
std::string HostBinary();
std::string HostConfigDir();
std::string MakeTempDir(const std::string& prefix);

}  // namespace cvn::test
