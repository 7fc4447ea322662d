// The throw-away server through scripts/pg-cluster.sh.
#include "tests/support/PostgresServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

extern char** environ;

namespace cvn::test {

namespace {

struct ScriptRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

const std::filesystem::path kBuildDir = std::filesystem::path(CORVANE_BIN_DIR).parent_path();

// Runs `bash scripts/pg-cluster.sh args...`. The child gets no descriptor but its standard ones:
// a server started with a pipe of this process's would hold that pipe open for its whole life.
// Past the deadline the script's process group is killed (the server, in a session of its own, is not).
// posix_spawn rather than fork: no copy of a large (sanitized) process for each run.
ScriptRun RunScript(const std::vector<std::string>& args, std::chrono::seconds deadline)
{
    std::vector<std::string> argvText = {"/bin/bash", CORVANE_SOURCE_DIR "/scripts/pg-cluster.sh"};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Each build folder keeps its own template.
    std::vector<std::string> envText = {"CORVANE_PG_TEMPLATE=" + (kBuildDir / "pg-template").string()};
    for (char** entry = environ; *entry; ++entry)
        if (std::string_view(*entry).rfind("CORVANE_PG_TEMPLATE=", 0) != 0) envText.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pg-cluster.sh: no pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pg-cluster.sh: no pipe");
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
        throw std::runtime_error("pg-cluster.sh: cannot run /bin/bash: " + std::string(strerror(spawned)));
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

std::string Failure(const std::string& what, const ScriptRun& run)
{
    return what + " (exit " + std::to_string(run.exitCode) + "):\n" + run.out + run.err;
}

std::string LastLine(std::string text)
{
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

// Stops the folder's server, if any, and removes the folder; never throws.
void StopAndRemove(const std::string& dir)
{
    std::error_code ignored;
    if (!std::filesystem::exists(dir, ignored)) return;
    try {
        RunScript({"stop", dir}, std::chrono::seconds(60));
    } catch (const std::exception&) {
        // The folder goes all the same.
    }
    std::filesystem::remove_all(dir, ignored);
}

// CORVANE_PG_TESTS_DIR may name a tmpfs: a cluster is some 1300 files, slow to create on a busy disk.
std::string UniqueDir()
{
    static std::atomic<int> next{0};
    const char* chosen = getenv("CORVANE_PG_TESTS_DIR");
    const std::filesystem::path root = chosen && *chosen ? std::filesystem::path(chosen) : kBuildDir / "pg-tests";
    return (root / (std::to_string(getpid()) + "-" + std::to_string(++next))).string();
}

}  // namespace

PostgresServer::PostgresServer() : m_dir(UniqueDir())
{
    // A folder of the same name is left from an earlier process that had this pid and died.
    StopAndRemove(m_dir);
    try {
        Start();
    } catch (...) {
        StopAndRemove(m_dir);
        throw;
    }
}

PostgresServer::~PostgresServer() { StopAndRemove(m_dir); }

void PostgresServer::Start()
{
    // The first run on a machine may install the packages and make the template.
    const ScriptRun run = RunScript({"start", "--no-fsync", m_dir}, std::chrono::seconds(240));
    const std::string connection = LastLine(run.out);
    const size_t port = connection.find(" port=");
    if (run.exitCode != 0 || connection.rfind("host=", 0) != 0 || port == std::string::npos)
        throw std::runtime_error(Failure("pg-cluster.sh start " + m_dir, run));
    m_connection = connection;
    m_port = std::stoi(connection.substr(port + 6));
    std::ifstream pidFile(m_dir + "/data/postmaster.pid");
    if (!(pidFile >> m_pid)) throw std::runtime_error("no server pid in " + m_dir + "/data/postmaster.pid");
}

void PostgresServer::Stop()
{
    const ScriptRun run = RunScript({"stop", m_dir}, std::chrono::seconds(60));
    if (run.exitCode != 0) throw std::runtime_error(Failure("pg-cluster.sh stop " + m_dir, run));
    m_pid = -1;
}

std::string PostgresServer::Psql(const std::string& sql) const
{
    const ScriptRun run =
        RunScript({"psql", m_dir, "-X", "-At", "-v", "ON_ERROR_STOP=1", "-c", sql}, std::chrono::seconds(60));
    if (run.exitCode != 0) throw std::runtime_error(Failure("psql " + sql, run));
    std::string out = run.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace cvn::test
