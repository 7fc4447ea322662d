// The child process runner.
#include "tests/support/HostProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace cvn::test {

namespace {
const std::string kHostBinary = CORVANE_BIN_DIR "/corvane-host";
}  // namespace

std::string HostConfigDir() { return CORVANE_BIN_DIR "/config"; }

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string CopyShippedConfiguration(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& changes)
{
    for (const char* file : {"config-store.xml", "dashboard.xml"})
        dir.Write(std::string("config/") + file, ReadFile(HostConfigDir() + "/" + file));
    std::string config = ReadFile(HostConfigDir() + "/host.cfg.xml");
    auto replaced = changes;
    replaced.emplace_back("ModuleFile=\"libcorvane.so\"", "ModuleFile=\"" CORVANE_BIN_DIR "/libcorvane.so\"");
    for (const auto& [from, to] : replaced) {
        const size_t at = config.find(from);
        if (at == std::string::npos) ADD_FAILURE() << "host.cfg.xml has no " << from;
        else config.replace(at, from.size(), to);
    }
    return dir.Write("config/host.cfg.xml", config);
}

HostProcess::HostProcess(const std::vector<std::string>& args, const std::string& stdinText)
{
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) std::abort();
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        std::vector<char*> argv;
        std::string binary = kHostBinary;
        argv.push_back(binary.data());
        std::vector<std::string> copies = args;
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!stdinText.empty()) (void)!write(in[1], stdinText.data(), stdinText.size());
    close(in[1]);
    m_out = out[0];
    m_err = err[0];
}

HostProcess::~HostProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
    if (m_err >= 0) close(m_err);
}

void HostProcess::Pump(int timeoutMs)
{
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) (i == 0 ? m_run.out : m_run.err).append(buffer, static_cast<size_t>(got));
        if (got <= 0) {
            close(fds[i].fd);
            (i == 0 ? m_out : m_err) = -1;
        }
    }
}

bool HostProcess::WaitForStderr(const std::string& text, std::chrono::milliseconds wait)
{
    return WaitFor(m_run.err, text, wait);
}

bool HostProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds wait)
{
    return WaitFor(m_run.out, text, wait);
}

bool HostProcess::WaitFor(const std::string& stream, const std::string& text, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (stream.find(text) == std::string::npos) {
        if ((m_out < 0 && m_err < 0) || std::chrono::steady_clock::now() > deadline) return false;
        Pump(20);
    }
    return true;
}

void HostProcess::Signal(int signal) const { kill(m_pid, signal); }

HostRun HostProcess::Finish(std::chrono::milliseconds deadline)
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (m_out >= 0 || m_err >= 0) {
        if (std::chrono::steady_clock::now() > until) kill(m_pid, SIGKILL);
        Pump(50);
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    m_run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_run;
}

HostRun RunHost(const std::vector<std::string>& args, const std::string& stdinText)
{
    HostProcess process(args, stdinText);
    return process.Finish();
}

}  // namespace cvn::test
