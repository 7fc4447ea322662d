// The throw-away cluster through scripts/ch-cluster.sh.
#include "tests/support/ClickHouseCluster.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
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

// Runs `bash scripts/ch-cluster.sh args...`. The child gets no descriptor but its standard ones: a server
// started with a pipe of this process's would hold that pipe open for its whole life. Past the deadline the
// script's process group is killed (the servers, in sessions of their own, are not).
// posix_spawn rather than fork: no copy of a large (sanitized) process for each run.
ScriptRun RunScript(const std::vector<std::string>& args, std::chrono::seconds deadline)
{
    std::vector<std::string> argvText = {"/bin/bash", CORVANE_SOURCE_DIR "/scripts/ch-cluster.sh"};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("ch-cluster.sh: no pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("ch-cluster.sh: no pipe");
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
    const int spawned = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("ch-cluster.sh: cannot run /bin/bash: " + std::string(strerror(spawned)));
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

void Check(const ScriptRun& run, const std::string& what)
{
    if (run.exitCode != 0)
        throw std::runtime_error(what + " (exit " + std::to_string(run.exitCode) + "):\n" + run.out + run.err);
}

int Index(int n)
{
    if (n != 1 && n != 2) throw std::invalid_argument("no shard " + std::to_string(n) + ": shards are 1 and 2");
    return n - 1;
}

std::string Shard(int n) { return std::to_string(Index(n) + 1); }

// Stops the folder's servers, if any, and removes the folder; never throws.
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

std::string UniqueDir()
{
    static std::atomic<int> next{0};
    const char* chosen = getenv("CORVANE_CH_TESTS_DIR");
    const std::filesystem::path root = chosen && *chosen ? std::filesystem::path(chosen) : kBuildDir / "ch-tests";
    return (root / (std::to_string(getpid()) + "-" + std::to_string(++next))).string();
}

}  // namespace

ClickHouseCluster::ClickHouseCluster() : m_dir(UniqueDir())
{
    // A folder of the same name is left from an earlier process that had this pid and died.
    StopAndRemove(m_dir);
    try {
        // The first run on a machine may install the packages (some seconds).
        Check(RunScript({"start", m_dir}, std::chrono::seconds(240)), "ch-cluster.sh start " + m_dir);
        ReadState(1);
        ReadState(2);
    } catch (...) {
        StopAndRemove(m_dir);
        throw;
    }
}

ClickHouseCluster::~ClickHouseCluster()
{
    for (int n : {1, 2}) {
        if (!m_frozen[Index(n)]) continue;
        try {
            ThawShard(n);
        } catch (const std::exception&) {
            // The script's stop sends SIGCONT too.
        }
    }
    StopAndRemove(m_dir);
}

// The connection text and shard n's pid, as a start left them.
void ClickHouseCluster::ReadState(int n)
{
    std::ifstream connection(m_dir + "/connection");
    if (!std::getline(connection, m_connection)) throw std::runtime_error("no " + m_dir + "/connection");
    size_t at = 0;
    for (int& port : m_httpPorts) {
        at = m_connection.find("127.0.0.1:", at);
        if (at == std::string::npos) throw std::runtime_error("no host:port in " + m_connection);
        at += 10;
        port = std::atoi(m_connection.c_str() + at);
    }
    const std::string pidPath = m_dir + "/s" + Shard(n) + "/pid";
    std::ifstream pidFile(pidPath);
    if (!(pidFile >> m_pids[Index(n)])) throw std::runtime_error("no server pid in " + pidPath);
}

int ClickHouseCluster::HttpPort(int n) const { return m_httpPorts[Index(n)]; }

pid_t ClickHouseCluster::Pid(int n) const { return m_pids[Index(n)]; }

void ClickHouseCluster::StopShard(int n)
{
    Check(RunScript({"stop-shard", m_dir, Shard(n)}, std::chrono::seconds(60)), "ch-cluster.sh stop-shard");
    m_pids[Index(n)] = -1;
    m_frozen[Index(n)] = false;
}

void ClickHouseCluster::StartShard(int n)
{
    Check(RunScript({"start-shard", m_dir, Shard(n)}, std::chrono::seconds(120)), "ch-cluster.sh start-shard");
    ReadState(n);
}

void ClickHouseCluster::FreezeShard(int n)
{
    Check(RunScript({"freeze-shard", m_dir, Shard(n)}, std::chrono::seconds(60)), "ch-cluster.sh freeze-shard");
    m_frozen[Index(n)] = true;
}

void ClickHouseCluster::ThawShard(int n)
{
    Check(RunScript({"thaw-shard", m_dir, Shard(n)}, std::chrono::seconds(60)), "ch-cluster.sh thaw-shard");
    m_frozen[Index(n)] = false;
}

std::string ClickHouseCluster::Client(int n, const std::string& sql) const
{
    const ScriptRun run =
        RunScript({"client", m_dir, Shard(n), "--multiquery", "--query=" + sql}, std::chrono::seconds(60));
    Check(run, "clickhouse-client on shard " + std::to_string(n) + ": " + sql);
    std::string out = run.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace cvn::test
