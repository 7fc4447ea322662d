// Running the cluster scripts: posix_spawn rather than fork, so a large (sanitized) test process is
// not copied for each run.
#include "tests/support/ClusterScript.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace cvn::test {

ScriptRun RunClusterScript(const std::string& script, const std::vector<std::string>& args,
                           std::chrono::seconds deadline, const std::vector<std::string>& environment)
{
    std::vector<std::string> argvText = {"/bin/bash", CORVANE_SOURCE_DIR "/scripts/" + script};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view existing(*entry);
        bool replaced = false;
        for (const std::string& given : environment)
            if (existing.substr(0, existing.find('=') + 1) == given.substr(0, given.find('=') + 1)) replaced = true;
        if (!replaced) envText.emplace_back(existing);
    }
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(script + ": no pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error(script + ": no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        throw std::runtime_error(script + ": cannot run /bin/bash: " + std::string(strerror(spawned)));
    }

    ScriptRun run;
    const auto until = std::chrono::steady_clock::now() + deadline;
    bool killed = false;
    int fds[2] = {out[0], err[0]};
    while (fds[0] >= 0 || fds[1] >= 0) {
        if (!killed && std::chrono::steady_clock::now() > until) {
            kill(-child, SIGKILL);
            killed = true;
        }
        pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(polled, 2, 100) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i], buffer, sizeof buffer);
            if (got > 0) (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0) close(fd);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (killed) run.err += "\n(killed after " + std::to_string(deadline.count()) + " s)";
    return run;
}

std::string ScriptFailure(const std::string& what, const ScriptRun& run)
{
    return what + " (exit " + std::to_string(run.exitCode) + "):\n" + run.out + run.err;
}

std::string UniqueClusterDir(const char* variable, const char* folder)
{
    static std::atomic<int> next{0};
    const char* chosen = std::getenv(variable);
    const std::filesystem::path root = chosen && *chosen
                                           ? std::filesystem::path(chosen)
                                           : std::filesystem::path(CORVANE_BIN_DIR).parent_path() / folder;
    return (root / (std::to_string(getpid()) + "-" + std::to_string(++next))).string();
}

void StopAndRemoveCluster(const std::string& script, const std::string& dir, const std::vector<std::string>& environment)
{
    std::error_code ignored;
    if (!std::filesystem::exists(dir, ignored)) return;
    try {
        RunClusterScript(script, {"stop", dir}, std::chrono::seconds(60), environment);
    } catch (const std::exception&) {
        // The folder goes all the same.
    }
    std::filesystem::remove_all(dir, ignored);
}

char ProcessState(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(") ");
    return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

bool ProcessGone(pid_t pid)
{
    const char state = ProcessState(pid);
    return state == '?' || state == 'Z';
}

}  // namespace cvn::test
