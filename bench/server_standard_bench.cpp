// The standard method on a database server: the default dashboard's
// statements (config/dashboard.xml with RetrieveMethod 2, as the module sends
// them) through the queries processor service the way the module uses it
// (query, polls of its handle, result, free) against the same statements with
// the same values run by the server's own client, the two sides taking turns.
// On PostgreSQL that is psql (PREPARE and EXECUTE, timed by its \timing); on
// ClickHouse clickhouse-client (the text the backend sends, its values bound
// as literals, timed by its --time, rows thrown away by --format Null). Warm:
// medians of the rounds after a warm-up. Cold: each side's first run after a
// server restart and, as root, a dropped page cache; which side goes first
// alternates between rounds. On ClickHouse the whole default dashboard by the
// fast method follows, through the module as `corvane-host demo` runs it, and
// its statements one by one against the client.
//
//   server_standard_bench [--storage postgresql|clickhouse] [--quick] [--rounds N] [--cold N]
//                         [--fast-runs N] [--query-log] [--data-dir DIR] [--verbose]
//
// The cluster lives in DIR/pg-10M or DIR/ch-10M (-1M with --quick) and is made
// and loaded once (scripts/pg-cluster.sh or ch-cluster.sh, then corvane-host
// generate, and on ClickHouse aggregate, which makes the counters' views); the
// file "loaded" there says the load completed, and a cluster without it is
// removed and made again. The servers started here are stopped on every way
// out, SIGINT and SIGTERM included.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/ModuleLoader.h"
#include "host/main/RequestRunner.h"
#include "host/reporting/metrics/CountersQuery.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/processor/QueriesProcessorConfig.h"
#include "host/reporting/processor/QueriesProcessorService.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/clickhouse/ClickHouseSql.h"

#ifndef CORVANE_BENCH_DATA_DIR
#define CORVANE_BENCH_DATA_DIR "bench-data"
#endif
#ifndef CORVANE_SOURCE_DIR
#define CORVANE_SOURCE_DIR "."
#endif

extern char** environ;

namespace {

using namespace cvn;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A cold statement on 10M records reads the table from disk: the shipped 60 s limit could cut it short.
constexpr int64_t kQueryTimeLimitMs = 600000;
constexpr auto kStatementDeadline = std::chrono::milliseconds(kQueryTimeLimitMs + 60000);
constexpr auto kScriptDeadline = std::chrono::minutes(5);
// The load of 10M records and the counting of them into the counters, each through corvane-host.
constexpr auto kLoadDeadline = std::chrono::minutes(90);
// Background merges of a fresh load are waited for before anything is timed.
constexpr auto kMergesDeadline = std::chrono::minutes(20);
constexpr auto kDashboardTimeout = std::chrono::seconds(120);

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

/// What differs between the servers: where the cluster comes from, its folder, its client, the goal.
struct ServerKind {
    const char* kind;             ///< the StorageKind
    const char* script;           ///< under scripts/
    const char* folder;           ///< the cluster folder's prefix
    const char* connectionStart;  ///< how the script's connection text begins
    const char* client;           ///< the direct side
    const char* clientColumn;     ///< its column in the tables
    double goal;                  ///< processor / client, the statements one after another
};

const ServerKind kPostgres{"postgresql", "pg-cluster.sh", "pg-", "host=", "psql", "psql ms", 1.1};
const ServerKind kClickHouse{"clickhouse", "ch-cluster.sh", "ch-", "hosts=", "clickhouse-client", "client ms", 1.2};

bool IsClickHouse(const ServerKind& server) { return &server == &kClickHouse; }

struct Options {
    const ServerKind* server = &kPostgres;
    bool quick = false;
    int rounds = 5;
    int coldRounds = 4;
    int fastRuns = 20;
    bool queryLog = false;
    bool verbose = false;
    std::string dataDir = CORVANE_BENCH_DATA_DIR;
};

int Usage(const char* why)
{
    std::fprintf(stderr,
                 "server_standard_bench: %s\nusage: server_standard_bench [--storage postgresql|clickhouse] [--quick] "
                 "[--rounds N] [--cold N] [--fast-runs N] [--query-log] [--data-dir DIR] [--verbose]\n"
                 "  --storage     the server (default postgresql)\n"
                 "  --quick       1M records (else 10M)\n"
                 "  --rounds N    warm rounds after the warm-up (default 5)\n"
                 "  --cold N      cold rounds, each a restart per side (default 4; 0: none)\n"
                 "  --fast-runs N ClickHouse: timed runs of the whole dashboard by the fast method (default 20; 0: none)\n"
                 "  --query-log   ClickHouse: every statement in system.query_log (log_queries), for a look at where "
                 "the time goes\n"
                 "  --data-dir    where the clusters are kept (default " CORVANE_BENCH_DATA_DIR ")\n"
                 "  --verbose     each statement's SQL, values and plan\n",
                 why);
    return 2;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto number = [&](int low, int high, int& out) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (!end || *end != '\0' || value < low || value > high) return false;
            out = static_cast<int>(value);
            return true;
        };
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--query-log") {
            options.queryLog = true;
        } else if (arg == "--storage") {
            const std::string kind = i + 1 < argc ? argv[++i] : "";
            if (kind == kPostgres.kind) options.server = &kPostgres;
            else if (kind == kClickHouse.kind) options.server = &kClickHouse;
            else return false;
        } else if (arg == "--rounds") {
            if (!number(1, 1000, options.rounds)) return false;
        } else if (arg == "--cold") {
            if (!number(0, 100, options.coldRounds)) return false;
        } else if (arg == "--fast-runs") {
            if (!number(0, 10000, options.fastRuns)) return false;
        } else if (arg == "--data-dir") {
            if (i + 1 >= argc || !*argv[i + 1]) return false;
            options.dataDir = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

std::string Label(int64_t records) { return records % 1000000 == 0 ? std::to_string(records / 1000000) + "M" : std::to_string(records); }

// --- child processes ---

/// A child with pipes to its standard streams (stdin only when asked), in a process group of its own so
/// that a deadline can end it with whatever it started; no other descriptor of ours, no blocked signals.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

void CloseFd(int& fd)
{
    if (fd >= 0) close(fd);
    fd = -1;
}

Child Spawn(const std::vector<std::string>& args, bool withStdin)
{
    std::vector<std::string> argvText = args;
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const auto closeAll = [&] {
        for (int* pair : {in, out, err})
            for (int i = 0; i < 2; ++i) CloseFd(pair[i]);
    };
    if ((withStdin && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        closeAll();
        throw std::runtime_error("no pipe for " + args[0]);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (withStdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // This process blocks SIGINT and SIGTERM for its watcher and ignores SIGPIPE: the child must not
    // (the server's fast shutdown is a SIGINT).
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    Child child;
    const int spawned = posix_spawn(&child.pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        closeAll();
        throw std::runtime_error("cannot run " + args[0] + ": " + std::strerror(spawned));
    }
    CloseFd(in[0]);
    CloseFd(out[1]);
    CloseFd(err[1]);
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    return child;
}

/// Waits for the child, ending its group after the grace period; its exit code (128 + signal when killed).
int Reap(Child& child, std::chrono::milliseconds grace)
{
    CloseFd(child.in);
    CloseFd(child.out);
    CloseFd(child.err);
    if (child.pid < 0) return -1;
    const auto until = Clock::now() + grace;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid || (done < 0 && errno != EINTR)) break;
        if (Clock::now() > until) {
            kill(-child.pid, SIGKILL);
            while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {}
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

/// Reads the child's output and errors until `done(out)` holds or both end; false on the deadline.
bool ReadChild(Child& child, std::string& out, std::string& err, Clock::time_point deadline,
               const std::function<bool(const std::string&)>& done)
{
    while ((child.out >= 0 || child.err >= 0) && !(done && done(out))) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd polled[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
        if (poll(polled, 2, static_cast<int>(std::min<int64_t>(left, 1000))) < 0 && errno != EINTR)
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? child.out : child.err;
            if (fd < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[8192];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) (i == 0 ? out : err).append(buffer, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR) CloseFd(fd);
        }
    }
    return true;
}

struct ScriptRun {
    int exitCode = -1;
    std::string out, err;
};

/// Runs the program to its end or the deadline; what it wrote.
ScriptRun RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                     const std::function<bool(const std::string&)>& onOutput = {})
{
    Child child = Spawn(argv, false);
    ScriptRun run;
    const bool inTime = ReadChild(child, run.out, run.err, Clock::now() + deadline, onOutput);
    run.exitCode = Reap(child, inTime ? std::chrono::milliseconds(60000) : std::chrono::milliseconds(0));
    if (!inTime) run.err += "\n(killed after " + std::to_string(deadline.count() / 1000) + " s)";
    return run;
}

std::string ScriptPath(const ServerKind& server) { return std::string(CORVANE_SOURCE_DIR "/scripts/") + server.script; }

// --- the cluster ---

/// One cluster folder of the server's cluster script. Start and Stop may be called from the signal
/// watcher while the main thread waits in them: one lock orders them.
class Cluster {
public:
    Cluster(const ServerKind& server, fs::path dir, bool queryLog)
        : m_server(server), m_dir(std::move(dir)), m_queryLog(queryLog)
    {
    }

    const ServerKind& Server() const { return m_server; }
    const fs::path& Dir() const { return m_dir; }
    std::string Connection() const
    {
        std::lock_guard guard(m_lock);
        return m_connection;
    }

    ScriptRun Script(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {"/bin/bash", ScriptPath(m_server)};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, kScriptDeadline);
    }

    void Start()
    {
        std::lock_guard guard(m_lock);
        if (IsClickHouse(m_server)) WriteQueryLogSetting();
        m_mayRun = true;  // from here on a stop is owed, even if the script fails half way
        const ScriptRun run = Script({"start", m_dir.string()});
        std::string last = run.out;
        while (!last.empty() && last.back() == '\n') last.pop_back();
        last = last.substr(last.find_last_of('\n') == std::string::npos ? 0 : last.find_last_of('\n') + 1);
        if (run.exitCode != 0 || last.rfind(m_server.connectionStart, 0) != 0)
            throw std::runtime_error(std::string(m_server.script) + " start " + m_dir.string() + " failed (exit " +
                                     std::to_string(run.exitCode) + "):\n" + run.out + run.err);
        m_connection = last;
    }

    void Stop()
    {
        std::lock_guard guard(m_lock);
        StopLocked();
    }

    /// For the last way out: stops the server when one may run, reporting rather than throwing.
    void StopQuietly() noexcept
    {
        try {
            std::lock_guard guard(m_lock);
            if (m_mayRun) StopLocked();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "server_standard_bench: %s\n", error.what());
        }
    }
    /// Holds the lock for good: the signal watcher's last act before the process ends.
    void StopAndKeepLocked() noexcept
    {
        m_lock.lock();
        try {
            if (m_mayRun) StopLocked();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "server_standard_bench: %s\n", error.what());
        }
    }

    /// ClickHouse: the answer of clickhouse-client on server N to one statement, trimmed.
    std::string Query(int server, const std::string& sql) const
    {
        const ScriptRun run = Script({"client", m_dir.string(), std::to_string(server), "--query", sql});
        if (run.exitCode != 0)
            throw std::runtime_error("clickhouse-client on server " + std::to_string(server) + ": " + sql + ":\n" + run.err);
        std::string out = run.out;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }

private:
    void StopLocked()
    {
        const ScriptRun run = Script({"stop", m_dir.string()});
        if (run.exitCode != 0)
            throw std::runtime_error(std::string(m_server.script) + " stop " + m_dir.string() + " failed (exit " +
                                     std::to_string(run.exitCode) + "):\n" + run.out + run.err);
        m_mayRun = false;
    }

    // The servers merge sN/users.d/ into the users' settings as they start: there, and only when asked,
    // every statement is logged to system.query_log (which costs a little on each).
    void WriteQueryLogSetting() const
    {
        for (const char* server : {"s1", "s2"}) {
            const fs::path file = m_dir / server / "users.d" / "corvane-bench-query-log.xml";
            if (!m_queryLog) {
                std::error_code ignored;
                fs::remove(file, ignored);
                continue;
            }
            fs::create_directories(file.parent_path());
            std::ofstream(file) << "<yandex><profiles><default><log_queries>1</log_queries></default></profiles></yandex>\n";
        }
    }

    const ServerKind& m_server;
    const fs::path m_dir;
    const bool m_queryLog;
    mutable std::mutex m_lock;
    std::string m_connection;
    bool m_mayRun = false;
};

std::atomic<Cluster*> g_cluster{nullptr};

/// SIGINT and SIGTERM are blocked everywhere and taken here: the server goes down, then the process.
void WatchSignals(sigset_t signals)
{
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {}
    std::fprintf(stderr, "\nserver_standard_bench: %s: stopping the server and leaving\n", strsignal(signal));
    if (Cluster* cluster = g_cluster.load()) cluster->StopAndKeepLocked();
    std::_Exit(128 + signal);
}

/// Stops the cluster's server when this scope ends by any way but the signal watcher's.
struct StopOnExit {
    Cluster& cluster;
    ~StopOnExit()
    {
        cluster.StopQuietly();
        g_cluster.store(nullptr);
    }
};

/// Whether this process may drop the page cache (root, and a writable /proc/sys).
bool CanDropCaches() { return geteuid() == 0 && access("/proc/sys/vm/drop_caches", W_OK) == 0; }

void DropCaches()
{
    sync();
    std::ofstream control("/proc/sys/vm/drop_caches");
    control << "3\n";
    control.flush();
    if (!control) throw std::runtime_error("cannot write /proc/sys/vm/drop_caches");
}

// --- the host on the cluster ---

/// The shipped configuration with the Database node pointed at the server and a longer query time limit.
fs::path WriteConfig(const fs::path& dir, const std::string& kind, const std::string& connection)
{
    const fs::path source = fs::path(hostmain::ExecutableDirectory()) / "config";
    const fs::path target = dir / "config";
    fs::create_directories(target);
    for (const auto& entry : fs::directory_iterator(source))
        if (entry.path().extension() == ".xml")
            fs::copy_file(entry.path(), target / entry.path().filename(), fs::copy_options::overwrite_existing);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_file((source / "host.cfg.xml").c_str());
    if (!parsed) throw std::runtime_error((source / "host.cfg.xml").string() + ": " + parsed.description());
    std::vector<pugi::xml_node> databases, processors;
    const std::function<void(pugi::xml_node)> walk = [&](pugi::xml_node node) {
        for (pugi::xml_node child : node.children()) {
            const std::string name = child.attribute("q:name").value();
            if (name == "Database") databases.push_back(child);
            if (name == "QueriesProcessor") processors.push_back(child);
            walk(child);
        }
    };
    walk(document);
    if (databases.size() != 1 || processors.size() != 1)
        throw std::runtime_error((source / "host.cfg.xml").string() + " has " + std::to_string(databases.size()) +
                                 " Database and " + std::to_string(processors.size()) +
                                 " QueriesProcessor nodes, expected one of each");
    const auto set = [](pugi::xml_node node, const char* name, const std::string& value) {
        (node.attribute(name) ? node.attribute(name) : node.append_attribute(name)).set_value(value.c_str());
    };
    set(databases[0], "StorageKind", kind);
    set(databases[0], "StorageConnection", connection);
    set(processors[0], "QueryTimeLimitMs:i64", std::to_string(kQueryTimeLimitMs));
    if (!document.save_file((target / "host.cfg.xml").c_str(), "  "))
        throw std::runtime_error("cannot write " + (target / "host.cfg.xml").string());
    return target / "host.cfg.xml";
}

hostmain::HostOptions HostOptionsFor(const Cluster& cluster)
{
    return {.configFile = WriteConfig(cluster.Dir(), cluster.Server().kind, cluster.Connection()).string(),
            .dataDirectory = (cluster.Dir() / "host").string()};
}

reporting::StorageSettings StorageOf(const Cluster& cluster) { return {cluster.Server().kind, cluster.Connection()}; }

uintmax_t DiskUsed(const fs::path& folder)
{
    uintmax_t bytes = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error)) bytes += it->file_size(error);
    return bytes;
}

/// One corvane-host command on the cluster, its output passed on as it comes and a line every minute
/// while it is quiet; its time in seconds. Throws with its errors when it fails or passes the deadline.
double RunHost(const Cluster& cluster, std::vector<std::string> args, std::chrono::minutes deadline)
{
    const hostmain::HostOptions host = HostOptionsFor(cluster);
    std::vector<std::string> argv = {hostmain::ExecutableDirectory() + "/corvane-host", "--config", host.configFile,
                                     "--data-dir", host.dataDirectory};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto start = Clock::now();
    auto noted = start;
    size_t shown = 0;
    const auto show = [&](const std::string& out) {
        std::fwrite(out.data() + shown, 1, out.size() - shown, stdout);
        shown = out.size();
        if (Clock::now() - noted > std::chrono::minutes(1)) {
            noted = Clock::now();
            std::printf("  ... corvane-host %s: %.0f s\n", args.back().c_str(), MsSince(start) / 1000);
        }
        std::fflush(stdout);
        return false;
    };
    const ScriptRun run = RunProgram(argv, deadline, show);
    show(run.out);
    if (run.exitCode != 0)
        throw std::runtime_error("corvane-host " + args.back() + " failed (exit " + std::to_string(run.exitCode) +
                                 "):\n" + run.err);
    return MsSince(start) / 1000;
}

struct Load {
    double seconds = 0;           ///< of the load that made the cluster, this run's or an earlier one's
    double aggregateSeconds = 0;  ///< ClickHouse: of the aggregate that made the counters' views after it
    bool reused = false;
};

/// Starts the cluster with `records` sample records in it, loading them first when the cluster has no
/// complete load.
Load EnsureLoaded(Cluster& cluster, int64_t records)
{
    const fs::path marker = cluster.Dir() / "loaded";
    {
        std::ifstream in(marker);
        std::string word;
        int64_t count = -1;
        Load load;
        if (in >> word >> count >> word >> load.seconds && count == records) {
            in >> word >> load.aggregateSeconds;
            load.reused = true;
            cluster.Start();
            return load;
        }
    }
    if (fs::exists(cluster.Dir())) {
        std::printf("%s holds no complete load: removing it\n", cluster.Dir().c_str());
        cluster.Stop();
        fs::remove_all(cluster.Dir());
    }
    std::printf("making the cluster %s and loading %s records (once; later runs reuse it) ...\n", cluster.Dir().c_str(),
                Label(records).c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    cluster.Start();
    RunHost(cluster, {"--records", std::to_string(records), "--days", "30", "--seed", "1", "generate"}, kLoadDeadline);
    const int64_t count = hostmain::CountRecords(StorageOf(cluster));
    if (count != records)
        throw std::runtime_error("the load left " + std::to_string(count) + " records, not " + std::to_string(records));
    Load load;
    load.seconds = MsSince(start) / 1000;
    if (IsClickHouse(cluster.Server())) {
        // The counters are kept by materialized views from here on; making them counts the records there.
        load.aggregateSeconds = RunHost(cluster, {"aggregate"}, kLoadDeadline);
    } else {
        // The load's WAL stays as recycled segments, up to max_wal_size: a read-only benchmark needs little.
        for (const char* sql :
             {"ALTER SYSTEM SET max_wal_size = '256MB'", "SELECT pg_reload_conf()", "CHECKPOINT", "CHECKPOINT"}) {
            const ScriptRun run = cluster.Script({"psql", cluster.Dir().string(), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-c", sql});
            if (run.exitCode != 0) throw std::runtime_error(std::string("psql ") + sql + ": " + run.out + run.err);
        }
    }
    std::ofstream(marker) << "records " << records << "\nseconds " << load.seconds << "\naggregate "
                          << load.aggregateSeconds << "\n";
    return load;
}

/// ClickHouse: waits until neither server merges parts (a fresh load leaves many), so that no merge
/// runs beside the timed statements.
void WaitForMerges(const Cluster& cluster)
{
    const auto start = Clock::now();
    auto noted = start;
    for (;;) {
        int64_t merging = 0;
        for (const int server : {1, 2})
            merging += std::strtoll(cluster.Query(server, "SELECT count() FROM system.merges").c_str(), nullptr, 10);
        if (merging == 0) break;
        if (Clock::now() - start > kMergesDeadline)
            throw std::runtime_error("the servers still merge parts after " +
                                     std::to_string(std::chrono::duration_cast<std::chrono::minutes>(kMergesDeadline).count()) +
                                     " min");
        if (Clock::now() - noted > std::chrono::seconds(30) || noted == start) {
            noted = Clock::now();
            std::printf("waiting for %lld background merges to finish (%.0f s) ...\n", static_cast<long long>(merging),
                        MsSince(start) / 1000);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    std::string parts;
    for (const int server : {1, 2})
        parts += (parts.empty() ? "" : ", ") +
                 cluster.Query(server, "SELECT count() FROM system.parts WHERE active AND database = currentDatabase() "
                                       "AND table = '" + std::string(reporting::kAuditRecordsTable) + "_Local'");
    std::printf("records' active parts per server: %s\n", parts.c_str());
}


/// Puts a recorder in front of the host's queries processor; call before the module starts.
auto InstallRecorder(hostmain::HostRuntime& host)
{
    host::CServiceClient& client = *host.ServiceClient();
    const std::string uri = host.Config().queriesProcessor.GetAttributeOr("Uri", "Service.QueriesProcessor");
    ComPtr<IRequestProcessor> processor;
    if (client.CreateProxy(ToUtf16(uri).c_str(), 0, &IRequestProcessor::kIid, processor.PutVoid()) < 0 || !processor)
        throw std::runtime_error("the queries processor is not registered under '" + uri + "'");
    auto recorder = CreateComponent<bench::RecordingProcessor>(processor, true);
    client.UnregisterService(uri);
    client.RegisterService(uri, static_cast<IRequestProcessor*>(recorder.Get()));
    return recorder;
}

/// The first attribute of that name in the node or below it.
std::optional<int64_t> FindInteger(const QxNodePtr& node, const std::string& name)
{
    if (!node) return std::nullopt;
    int64_t value = 0;
    if (node.GetAttribute(name, value)) return value;
    for (const QxNodePtr& child : node.GetChildren())
        if (const auto found = FindInteger(child, name)) return found;
    return std::nullopt;
}

/// What one dashboard sends and how the module sends it.
struct Dashboard {
    std::string kind;  ///< the storage kind
    std::vector<QxNodePtr> queries;
    std::vector<reporting::TranslatedQuery> statements;
    QxNodePtr processorConfig;  ///< the host's, without its storage attributes
    QxNodePtr metrics;
    std::chrono::milliseconds waitInterval{10};
    int workers = 2;
};

/// The dashboard of the queries the host's module sent, each with its statement as the processor
/// translates it: by the standard method only (method 2), or the counters where they serve (1).
Dashboard DashboardOf(hostmain::HostRuntime& host, std::vector<QxNodePtr> queries, int method)
{
    Dashboard dashboard;
    dashboard.kind = host.Storage().kind;
    dashboard.queries = std::move(queries);
    if (dashboard.queries.empty()) throw std::runtime_error("the dashboard sent no query to the queries processor");
    dashboard.processorConfig = host.Config().queriesProcessor.Clone();
    if (const QxNodePtr metrics = host.ReadStore(reporting::kMetricsConfigurationPath)) {
        dashboard.metrics = metrics.Clone();
        dashboard.metrics.SetName("Metrics");
    }
    dashboard.workers = host.Config().queriesProcessor.GetAttributeOr<int32_t>("Workers", 2);
    for (const hostmain::ComponentEntry& component : host.Config().components)
        if (const auto wait = FindInteger(component.configuration, "WaitIntervalMs")) {
            dashboard.waitInterval = std::chrono::milliseconds(*wait);
            break;
        }
    const reporting::StorageSettings storage = host.Storage();
    const QxNodePtr templates = host.Config().queriesProcessor.GetChild("QueryTemplates");
    const reporting::QueryTranslator translator(templates, reporting::DialectFor(storage));
    std::optional<reporting::CountersQueryTranslator> counters;
    if (dashboard.metrics) counters.emplace(translator, dashboard.metrics);
    std::optional<reporting::CountersCoverage> coverage;
    for (const QxNodePtr& query : dashboard.queries) {
        if (counters && counters->Serves(query)) {
            if (method == 2)
                throw std::runtime_error("query '" + query.GetName() + "' reads the counters: not the standard method");
            if (!coverage) coverage = reporting::ReadCountersCoverage(*reporting::OpenStorage(storage));
            dashboard.statements.push_back(counters->Translate(query, *coverage));
        } else {
            dashboard.statements.push_back(translator.Translate(query));
        }
    }
    return dashboard;
}

/// Throws unless every sub-response of the complete answer was given by that method.
void CheckMethod(const hostmain::RetrieveOutcome& outcome, int method)
{
    if (outcome.failed || outcome.timedOut || outcome.interrupted || hostmain::RetrieveStatusOf(outcome.last) != 1)
        throw std::runtime_error("the dashboard did not complete: " +
                                 (outcome.failure.empty() ? outcome.last.ToText() : outcome.failure));
    for (const QxNodePtr& sub : outcome.last.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        const QxNodePtr meta = sub.GetChild("MetaInfo", false);
        if (!meta || meta.GetAttributeOr<int32_t>("RetrieveMethod", 0) != method)
            throw std::runtime_error("sub-request '" + sub.GetName() + "' was not answered by the " +
                                     (method == 1 ? "fast" : "standard") + " method");
    }
}

/// Runs the default dashboard by the standard method through the module once and keeps the queries
/// it sent to the queries processor, with their statements as the processor translates them.
Dashboard CaptureDashboard(const Cluster& cluster)
{
    hostmain::HostRuntime host;
    host.StartServices(HostOptionsFor(cluster));
    const auto recorder = InstallRecorder(host);
    host.StartModule();

    const QxNodePtr request = QxNodePtr::Parse(hostmain::ReadTextFile(host.Config().demoRequestFile));
    request.SetAttribute("RetrieveMethod", int32_t{2});
    hostmain::RequestRunner runner(host, std::chrono::milliseconds(kQueryTimeLimitMs));
    CheckMethod(runner.Run(request, {}), 2);
    Dashboard dashboard = DashboardOf(host, recorder->Take(), 2);
    host.Stop();
    return dashboard;
}

/// The processor's configuration as the host builds it, on the cluster's current connection.
QxNodePtr ProcessorConfig(const Dashboard& dashboard, const std::string& connection)
{
    const QxNodePtr config = dashboard.processorConfig.Clone();
    config.SetAttribute("StorageKind", dashboard.kind);
    config.SetAttribute("StorageConnection", connection);
    config.SetAttribute("QueryTimeLimitMs", kQueryTimeLimitMs);
    if (dashboard.metrics) config.AddChild(dashboard.metrics.Clone());
    return config;
}

int64_t NewestRecord(const reporting::StorageSettings& settings)
{
    const auto storage = reporting::OpenStorage(settings);
    const reporting::IDialect& sql = storage->Dialect();
    const auto statement = storage->Prepare("SELECT MAX(" + sql.QuoteIdentifier(reporting::RecordColumns::kWhen) +
                                            ") FROM " + sql.QuoteIdentifier(reporting::kAuditRecordsTable));
    if (!statement->Next()) return 0;
    const reporting::SqlValue value = statement->Column(0);
    return std::holds_alternative<int64_t>(value) ? std::get<int64_t>(value) : 0;
}

// --- the two sides ---

/// One statement's run: its time, rows and the sum of its counts (which both sides must agree on).
struct Run {
    double ms = 0;
    int64_t rows = 0;
    int64_t counted = 0;
    bool checked = true;  ///< rows and counts were read (clickhouse-client with --format Null reads none)
    double wallMs = 0;    ///< clickhouse-client: from the statement's write to the process's end
};

QxNodePtr Call(IRequestProcessor& processor, const QxNodePtr& node) { return bench::Call(processor, node); }

/// Polls the handle until its query ends, pausing between polls as the module's retriever does.
QxNodePtr PollToTheEnd(IRequestProcessor& processor, const QxNodePtr& handle, std::chrono::milliseconds wait)
{
    for (;;) {
        QxNodePtr answer = Call(processor, handle);
        if (answer.GetRequiredAttribute<int32_t>("Status") != 1) return answer;
        std::this_thread::sleep_for(wait);
    }
}

void FreeHandle(IRequestProcessor& processor, const QxNodePtr& handle)
{
    const QxNodePtr free = handle.Clone();
    free.SetAttribute("FreeResult", true);
    Call(processor, free);
}

Run ResultOf(const QxNodePtr& answer, const std::string& name)
{
    if (answer.GetRequiredAttribute<int32_t>("Status") != 0)
        throw std::runtime_error("the queries processor failed '" + name +
                                 "': " + answer.GetAttributeOr("Error_Serialized", answer.ToText().c_str()));
    Run run;
    run.rows = answer.GetRequiredAttribute<int64_t>("RowCount");
    for (const QxNodePtr& row : answer.GetChildren()) run.counted += row.GetAttributeOr<int64_t>("Count", 0);
    return run;
}

Run ThroughProcessor(IRequestProcessor& processor, const QxNodePtr& query, std::chrono::milliseconds wait)
{
    const auto start = Clock::now();
    const QxNodePtr handle = Call(processor, query);
    const QxNodePtr answer = PollToTheEnd(processor, handle, wait);
    FreeHandle(processor, handle);
    const double ms = MsSince(start);
    Run run = ResultOf(answer, query.GetName());
    run.ms = ms;
    return run;
}

/// Every query sent at once, as the module sends a dashboard's; the time until the last result is in.
double AtOnceThroughProcessor(IRequestProcessor& processor, const Dashboard& dashboard)
{
    const auto start = Clock::now();
    std::vector<QxNodePtr> handles;
    for (const QxNodePtr& query : dashboard.queries) handles.push_back(Call(processor, query));
    std::vector<QxNodePtr> answers;
    for (const QxNodePtr& handle : handles) answers.push_back(PollToTheEnd(processor, handle, dashboard.waitInterval));
    for (const QxNodePtr& handle : handles) FreeHandle(processor, handle);
    const double ms = MsSince(start);
    for (size_t i = 0; i < answers.size(); ++i) ResultOf(answers[i], dashboard.queries[i].GetName());
    return ms;
}

/// The server's own client on the cluster.
class DirectSession {
public:
    virtual ~DirectSession() = default;
    /// The statement with its values, timed by the client.
    virtual Run Execute(const reporting::TranslatedQuery& query) = 0;
    /// As Execute, with its rows and counts read.
    virtual Run Check(const reporting::TranslatedQuery& query) { return Execute(query); }
    /// Before a timed stretch of up to `statements` statements: what the client needs made beforehand.
    virtual void Ready(size_t /*statements*/) {}
    /// For --verbose: how the statement is sent, and its plan where the server gives one.
    virtual std::string Details(const reporting::TranslatedQuery& query) = 0;
};

std::string Literal(const reporting::SqlValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
    if (const auto* real = std::get_if<double>(&value)) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", *real);
        return buffer;
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        std::string quoted = "'";
        for (const char c : *text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        return quoted + "'";
    }
    return "NULL";
}

/// EXECUTE of the prepared statement with the query's values as literals of the inferred types.
std::string ExecuteText(const reporting::TranslatedQuery& query)
{
    std::string text = "EXECUTE corvane_q";
    for (size_t i = 0; i < query.parameters.size(); ++i) text += (i ? ", " : "(") + Literal(query.parameters[i]);
    return text + (query.parameters.empty() ? ";" : ");");
}

/// Writes all of the text to the child's standard input and closes it; false when the child has gone.
bool WriteAll(Child& child, const std::string& text)
{
    for (size_t sent = 0; sent < text.size();) {
        const ssize_t wrote = child.in < 0 ? -1 : write(child.in, text.data() + sent, text.size() - sent);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return false;
        sent += static_cast<size_t>(wrote);
    }
    return true;
}

/// One psql process on the cluster, fed through its standard input. A statement goes as PREPARE without
/// types (the server infers them, as the backend's Prepare lets it) and EXECUTE with the same values:
/// planned for those values, as the backend's unnamed statement is. Its time is the sum of psql's
/// \timing of the two.
class PsqlSession final : public DirectSession {
public:
    explicit PsqlSession(const Cluster& cluster)
    {
        m_child = Spawn({"/bin/bash", ScriptPath(cluster.Server()), "psql", cluster.Dir().string(), "-X", "-q", "-At",
                         "-v", "ON_ERROR_STOP=1"},
                        true);
        Exchange("SELECT 1;\n", std::chrono::seconds(30));  // connected, before anything is timed
    }
    ~PsqlSession() override { Reap(m_child, std::chrono::seconds(5)); }
    PsqlSession(const PsqlSession&) = delete;
    PsqlSession& operator=(const PsqlSession&) = delete;

    Run Execute(const reporting::TranslatedQuery& query) override
    {
        // psql would take a backslash outside a literal for one of its commands.
        if (query.sql.find('\\') != std::string::npos) throw std::runtime_error("a statement holds a backslash: " + query.sql);
        const std::string output = Exchange("DEALLOCATE ALL;\n\\timing on\nPREPARE corvane_q AS " + query.sql + ";\n" +
                                                ExecuteText(query) + "\n\\timing off\n",
                                            kStatementDeadline);
        Run run;
        int timings = 0;
        size_t at = 0;
        while (at < output.size()) {
            size_t end = output.find('\n', at);
            if (end == std::string::npos) end = output.size();
            const std::string line = output.substr(at, end - at);
            at = end + 1;
            if (line.rfind("Time: ", 0) == 0) {
                run.ms += std::strtod(line.c_str() + 6, nullptr);
                ++timings;
            } else {
                ++run.rows;
                const size_t bar = line.rfind('|');
                run.counted += std::strtoll(line.c_str() + (bar == std::string::npos ? 0 : bar + 1), nullptr, 10);
            }
        }
        if (timings != 2) throw std::runtime_error("psql gave " + std::to_string(timings) + " timings, not 2:\n" + output);
        return run;
    }

    /// EXECUTE as Execute sends it, and its plan.
    std::string Details(const reporting::TranslatedQuery& query) override
    {
        return "    " + ExecuteText(query) + "\n" +
               Exchange("DEALLOCATE ALL;\nPREPARE corvane_q AS " + query.sql + ";\nEXPLAIN " + ExecuteText(query) + "\n",
                        kStatementDeadline);
    }

private:
    /// Sends the script and a marker; psql's output up to the marker. Throws with psql's errors when it
    /// ends (ON_ERROR_STOP) or passes the deadline.
    std::string Exchange(const std::string& script, std::chrono::milliseconds deadline)
    {
        const std::string marker = "@@corvane-" + std::to_string(++m_exchanges);
        if (!WriteAll(m_child, script + "\\echo " + marker + "\n")) {
            std::string out;
            ReadChild(m_child, out, m_errors, Clock::now() + std::chrono::seconds(1), {});
            throw std::runtime_error("psql has ended: " + m_errors);
        }
        std::string out;
        const std::string ending = marker + "\n";
        const auto done = [&](const std::string& got) {
            return got.size() >= ending.size() && got.compare(got.size() - ending.size(), ending.size(), ending) == 0;
        };
        const bool inTime = ReadChild(m_child, out, m_errors, Clock::now() + deadline, done);
        if (!done(out)) {
            Reap(m_child, std::chrono::milliseconds(0));
            throw std::runtime_error(inTime ? "psql ended: " + m_errors
                                            : "psql gave no answer within " + std::to_string(deadline.count()) + " ms");
        }
        return out.substr(0, out.size() - ending.size());
    }

    Child m_child;
    std::string m_errors;
    int m_exchanges = 0;
};

/// clickhouse-client on server 1, a process per statement: the client reads its statement from its
/// standard input only after it has connected, so each is started and connected before its statement
/// is written to it. The statement is the text the backend sends (BindValues of the statement and its
/// values), with the processor's row limit and time limit; its time is the client's --time, which
/// starts when the client has the whole statement and ends with the last packet of the answer.
class ClickHouseClient final : public DirectSession {
public:
    /// `maxResultRows` as the processor's connections send it.
    ClickHouseClient(const Cluster& cluster, int64_t maxResultRows) : m_cluster(cluster), m_maxResultRows(maxResultRows)
    {
        Check({.sql = "SELECT 1"});  // the cluster answers, before anything is timed
    }
    ~ClickHouseClient() override
    {
        for (Child& child : m_ready) Reap(child, std::chrono::seconds(5));  // an empty statement: it ends
    }
    ClickHouseClient(const ClickHouseClient&) = delete;
    ClickHouseClient& operator=(const ClickHouseClient&) = delete;

    Run Execute(const reporting::TranslatedQuery& query) override
    {
        Child child;
        if (m_ready.empty()) {
            child = Started(false);
        } else {
            child = m_ready.front();
            m_ready.pop_front();
        }
        return Finish(child, Text(query), false);
    }

    Run Check(const reporting::TranslatedQuery& query) override { return Finish(Started(true), Text(query), true); }

    void Ready(size_t statements) override
    {
        while (m_ready.size() < statements) m_ready.push_back(Started(false));
    }

    std::string Details(const reporting::TranslatedQuery& query) override { return "    as sent: " + Text(query) + "\n"; }

    /// The client's own share: the median of `runs` runs of SELECT 1, each started and connected first.
    struct Overhead {
        double startMs = 0;  ///< from the process's start to its connection, before the statement
        double timeMs = 0;   ///< its --time
        double wallMs = 0;   ///< from the statement's write to the process's end
    };
    Overhead MeasureOverhead(int runs)
    {
        std::vector<double> start, time, wall;
        for (int i = 0; i < runs; ++i) {
            const auto begun = Clock::now();
            Child child = Started(false);
            start.push_back(MsSince(begun));
            const Run run = Finish(child, "SELECT 1", false);
            time.push_back(run.ms);
            wall.push_back(run.wallMs);
        }
        return {bench::Quantile(start, 0.5), bench::Quantile(time, 0.5), bench::Quantile(wall, 0.5)};
    }

private:
    static std::string Text(const reporting::TranslatedQuery& query)
    {
        return reporting::clickhouse::BindValues(query.sql, query.parameters);
    }

    /// A client started and connected, waiting for its statement on its standard input.
    Child Started(bool rows)
    {
        Child child = Spawn({"/bin/bash", ScriptPath(m_cluster.Server()), "client", m_cluster.Dir().string(), "1",
                             "--time", "--format", rows ? "TabSeparated" : "Null", "--max_result_rows",
                             std::to_string(m_maxResultRows), "--result_overflow_mode", "break", "--max_execution_time",
                             std::to_string(kQueryTimeLimitMs / 1000), "--query_id",
                             "bench-client-" + std::to_string(getpid()) + "-" + std::to_string(++s_started)},
                            true);
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        const std::string proc = "/proc/" + std::to_string(child.pid);
        for (;;) {
            // The script execs the client in place: the same pid, then the client's program, then a read
            // of the pipe once connected.
            std::error_code error;
            const std::string program = fs::read_symlink(proc + "/exe", error).string();
            std::string wchan, stat;
            std::getline(std::ifstream(proc + "/wchan"), wchan);
            std::getline(std::ifstream(proc + "/stat"), stat);
            const size_t state = stat.rfind(") ");
            const bool ended = state == std::string::npos || stat.compare(state + 2, 1, "Z") == 0;
            if (!ended && program.find("clickhouse") != std::string::npos && wchan.find("pipe_read") != std::string::npos)
                return child;
            if (ended || Clock::now() > deadline) {
                std::string out, err;
                ReadChild(child, out, err, Clock::now() + std::chrono::seconds(1), {});
                const int code = Reap(child, std::chrono::milliseconds(0));
                throw std::runtime_error("clickhouse-client " +
                                         (ended ? "ended at its start (exit " + std::to_string(code) + ")"
                                                : std::string("did not connect within 30 s")) +
                                         ":\n" + out + err);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    Run Finish(Child child, const std::string& text, bool rows)
    {
        const auto sent = Clock::now();
        WriteAll(child, text);  // when the client has gone, its errors say why
        CloseFd(child.in);
        std::string out, err;
        const bool inTime = ReadChild(child, out, err, Clock::now() + kStatementDeadline, {});
        Run run;
        run.wallMs = MsSince(sent);
        const int code = Reap(child, inTime ? std::chrono::milliseconds(5000) : std::chrono::milliseconds(0));
        if (!inTime || code != 0)
            throw std::runtime_error("clickhouse-client " +
                                     (inTime ? "failed (exit " + std::to_string(code) + ")"
                                             : "gave no answer within " + std::to_string(kStatementDeadline.count()) + " ms") +
                                     " on: " + text.substr(0, 300) + "\n" + err);
        // --time writes the seconds as the last line of its errors.
        while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
        const std::string last = err.substr(err.find_last_of('\n') == std::string::npos ? 0 : err.find_last_of('\n') + 1);
        char* end = nullptr;
        const double seconds = std::strtod(last.c_str(), &end);
        if (last.empty() || !end || *end != '\0') throw std::runtime_error("clickhouse-client gave no --time: " + err);
        run.ms = seconds * 1000;
        run.checked = rows;
        if (rows) {
            std::istringstream lines(out);
            for (std::string line; std::getline(lines, line);) {
                ++run.rows;
                const size_t tab = line.rfind('\t');
                run.counted += std::strtoll(line.c_str() + (tab == std::string::npos ? 0 : tab + 1), nullptr, 10);
            }
        }
        return run;
    }

    const Cluster& m_cluster;
    const int64_t m_maxResultRows;
    std::deque<Child> m_ready;
    // Shared by the sessions of the streams that run at once: a query id the server runs is refused again.
    static inline std::atomic<int64_t> s_started{0};
};

/// The row limit the processor's connections pass to ClickHouse.
int64_t ProcessorRowLimit(const Dashboard& dashboard, const std::string& connection)
{
    return reporting::ReadQueriesProcessorOptions(ProcessorConfig(dashboard, connection)).maxRows + 1;
}

std::unique_ptr<DirectSession> OpenDirect(const Cluster& cluster, const Dashboard& dashboard)
{
    if (IsClickHouse(cluster.Server()))
        return std::make_unique<ClickHouseClient>(cluster, ProcessorRowLimit(dashboard, cluster.Connection()));
    return std::make_unique<PsqlSession>(cluster);
}

/// The statements one per session on as many sessions as the processor has workers, each taking the
/// next statement when done; the time until the last is done.
double AtOnceDirect(std::vector<std::unique_ptr<DirectSession>>& sessions, const Dashboard& dashboard)
{
    for (auto& session : sessions) session->Ready(dashboard.statements.size());
    std::atomic<size_t> next{0};
    std::mutex lock;
    std::string failure;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& session : sessions)
        threads.emplace_back([&, s = session.get()] {
            try {
                for (size_t i = next++; i < dashboard.statements.size(); i = next++) s->Execute(dashboard.statements[i]);
            } catch (const std::exception& error) {
                std::lock_guard guard(lock);
                if (failure.empty()) failure = error.what();
            }
        });
    for (std::thread& thread : threads) thread.join();
    const double ms = MsSince(start);
    if (!failure.empty()) throw std::runtime_error(failure);
    return ms;
}

/// Both sides' rows and counts against the client's checked run of the statement.
void CheckSame(const Run& processor, const Run& direct, const Run& expected, const QxNodePtr& query, const char* client)
{
    for (const Run* run : {&processor, &direct}) {
        if (!run->checked) continue;
        if (run->rows != expected.rows || run->counted != expected.counted)
            throw std::runtime_error("'" + query.GetName() + "' answered differently: " +
                                     (run == &processor ? "processor" : client) + " " + std::to_string(run->rows) +
                                     " rows counting " + std::to_string(run->counted) + ", " + client + "'s checked run " +
                                     std::to_string(expected.rows) + " rows counting " + std::to_string(expected.counted));
    }
}

// --- measuring and the table ---

struct Samples {
    std::vector<std::vector<double>> processor, direct;  ///< per statement, one per round
    std::vector<double> processorTotal, directTotal;      ///< per round: the statements one after another
    std::vector<double> processorAtOnce, directAtOnce;    ///< per round: the dashboard at once

    explicit Samples(size_t statements) : processor(statements), direct(statements) {}
};

double Mean(const std::vector<double>& samples)
{
    return samples.empty() ? 0 : std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

/// The table of one measurement; the ratio of the totals.
double PrintTable(const std::string& title, const ServerKind& server, const Dashboard& dashboard, const Samples& samples,
                  bool median)
{
    const auto summary = [&](const std::vector<double>& values) { return median ? bench::Quantile(values, 0.5) : Mean(values); };
    std::printf("\n%s\n%-44s %14s %12s %7s\n", title.c_str(), "statement", "processor ms", server.clientColumn, "ratio");
    for (size_t i = 0; i < dashboard.queries.size(); ++i) {
        const double a = summary(samples.processor[i]), b = summary(samples.direct[i]);
        std::printf("%-44.44s %14.2f %12.2f %7.3f\n", dashboard.queries[i].GetName().c_str(), a, b, Ratio(a, b));
    }
    const double a = summary(samples.processorTotal), b = summary(samples.directTotal);
    std::printf("%-44s %14.2f %12.2f %7.3f\n", "whole dashboard, one statement after another", a, b, Ratio(a, b));
    if (!samples.processorAtOnce.empty()) {
        const double c = summary(samples.processorAtOnce), d = summary(samples.directAtOnce);
        char label[64];
        std::snprintf(label, sizeof label, "whole dashboard at once, on %d workers", dashboard.workers);
        std::printf("%-44s %14.2f %12.2f %7.3f\n", label, c, d, Ratio(c, d));
    }
    std::fflush(stdout);
    return Ratio(a, b);
}

/// Warm: a warm-up run of each statement on each side, then the rounds, the sides taking turns. Keeps
/// the client's checked answers in `expected`.
double MeasureWarm(const Cluster& cluster, const Dashboard& dashboard, const Options& options, const std::string& what,
                   std::vector<Run>& expected)
{
    const ServerKind& server = cluster.Server();
    const auto processor = reporting::CreateQueriesProcessor(ProcessorConfig(dashboard, cluster.Connection()));
    IRequestProcessor& service = *processor;
    std::vector<std::unique_ptr<DirectSession>> sessions;
    for (int i = 0; i < std::max(dashboard.workers, 1); ++i) sessions.push_back(OpenDirect(cluster, dashboard));
    DirectSession& direct = *sessions.front();
    const size_t count = dashboard.queries.size();

    std::printf("warm-up ...\n");
    std::fflush(stdout);
    expected.assign(count, Run{});
    for (size_t i = 0; i < count; ++i) {
        const Run a = ThroughProcessor(service, dashboard.queries[i], dashboard.waitInterval);
        expected[i] = direct.Check(dashboard.statements[i]);
        CheckSame(a, expected[i], expected[i], dashboard.queries[i], server.client);
        if (options.verbose)
            std::printf("  %s: %lld rows, counting %lld\n%s\n%s", dashboard.queries[i].GetName().c_str(),
                        static_cast<long long>(a.rows), static_cast<long long>(a.counted),
                        dashboard.statements[i].sql.c_str(), direct.Details(dashboard.statements[i]).c_str());
    }
    AtOnceThroughProcessor(service, dashboard);
    AtOnceDirect(sessions, dashboard);

    Samples samples(count);
    for (int round = 0; round < options.rounds; ++round) {
        std::printf("warm round %d of %d ...\n", round + 1, options.rounds);
        std::fflush(stdout);
        double totalA = 0, totalB = 0;
        for (size_t i = 0; i < count; ++i) {
            Run a, b;
            if ((round + i) % 2 == 0) {
                a = ThroughProcessor(service, dashboard.queries[i], dashboard.waitInterval);
                b = direct.Execute(dashboard.statements[i]);
            } else {
                b = direct.Execute(dashboard.statements[i]);
                a = ThroughProcessor(service, dashboard.queries[i], dashboard.waitInterval);
            }
            CheckSame(a, b, expected[i], dashboard.queries[i], server.client);
            samples.processor[i].push_back(a.ms);
            samples.direct[i].push_back(b.ms);
            totalA += a.ms;
            totalB += b.ms;
        }
        samples.processorTotal.push_back(totalA);
        samples.directTotal.push_back(totalB);
        if (round % 2 == 0) {
            samples.processorAtOnce.push_back(AtOnceThroughProcessor(service, dashboard));
            samples.directAtOnce.push_back(AtOnceDirect(sessions, dashboard));
        } else {
            samples.directAtOnce.push_back(AtOnceDirect(sessions, dashboard));
            samples.processorAtOnce.push_back(AtOnceThroughProcessor(service, dashboard));
        }
    }
    processor->Shutdown();
    char title[200];
    std::snprintf(title, sizeof title, "%sWARM: medians of %d rounds after a warm-up", what.c_str(), options.rounds);
    return PrintTable(title, server, dashboard, samples, true);
}

/// Cold: per round and side a restarted server (and a dropped page cache when allowed), then the
/// statements one after another on a new processor or a new client session.
double MeasureCold(Cluster& cluster, const Dashboard& dashboard, const Options& options, bool dropCaches,
                   const std::vector<Run>& expected)
{
    const ServerKind& server = cluster.Server();
    const size_t count = dashboard.queries.size();
    Samples samples(count);
    std::vector<Run> processorRuns(count), directRuns(count);
    for (int round = 0; round < options.coldRounds; ++round) {
        for (const bool processorSide : {round % 2 == 0, round % 2 != 0}) {
            std::printf("cold round %d of %d: %s ...\n", round + 1, options.coldRounds,
                        processorSide ? "processor" : server.client);
            std::fflush(stdout);
            cluster.Stop();
            if (dropCaches) DropCaches();
            cluster.Start();
            double total = 0;
            if (processorSide) {
                // The first connection after a start reads the catalogs from disk; on the client's side
                // that is its session's, before anything is timed. Here a session of its own does it.
                { OpenDirect(cluster, dashboard); }
                // A new processor: its workers connect at their first query, as after a restart of the host.
                const auto processor = reporting::CreateQueriesProcessor(ProcessorConfig(dashboard, cluster.Connection()));
                for (size_t i = 0; i < count; ++i) {
                    processorRuns[i] = ThroughProcessor(*processor, dashboard.queries[i], dashboard.waitInterval);
                    samples.processor[i].push_back(processorRuns[i].ms);
                    total += processorRuns[i].ms;
                }
                processor->Shutdown();
                samples.processorTotal.push_back(total);
            } else {
                const auto direct = OpenDirect(cluster, dashboard);
                for (size_t i = 0; i < count; ++i) {
                    directRuns[i] = direct->Execute(dashboard.statements[i]);
                    samples.direct[i].push_back(directRuns[i].ms);
                    total += directRuns[i].ms;
                }
                samples.directTotal.push_back(total);
            }
        }
        for (size_t i = 0; i < count; ++i)
            CheckSame(processorRuns[i], directRuns[i], expected[i], dashboard.queries[i], server.client);
    }
    char title[200];
    std::snprintf(title, sizeof title, "COLD: means of %d rounds, each side's first run after a server restart%s",
                  options.coldRounds, dropCaches ? " and a dropped page cache" : " (page cache kept: not root)");
    return PrintTable(title, server, dashboard, samples, false);
}

/// The time a new connection of the backend takes to open, which a new processor's first statement
/// carries and psql's \timing does not.
double ConnectMs(const std::string& connection)
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        reporting::OpenStorage({"postgresql", connection});
        times.push_back(MsSince(start));
    }
    return bench::Quantile(times, 0.5);
}

/// ClickHouse: what each side adds to a statement, from the median of SELECT 1 on each.
void PrintClickHouseFloor(const Cluster& cluster, const Dashboard& dashboard)
{
    const auto connection = reporting::OpenStorage(StorageOf(cluster));
    std::vector<double> backend;
    for (int i = 0; i < 11; ++i) {
        const auto start = Clock::now();
        connection->Prepare("SELECT 1")->Next();
        if (i > 0) backend.push_back(MsSince(start));  // the first opens the connection
    }
    ClickHouseClient client(cluster, ProcessorRowLimit(dashboard, cluster.Connection()));
    const ClickHouseClient::Overhead overhead = client.MeasureOverhead(9);
    std::printf("SELECT 1, medians: the backend's open connection %.2f ms; clickhouse-client --time %.2f ms, from its "
                "write to the client's end %.2f ms (what the at-once figures of the client carry), and before it, not "
                "timed, %.0f ms from the client's start to its connection\n",
                bench::Quantile(backend, 0.5), overhead.timeMs, overhead.wallMs, overhead.startMs);
}

/// The server's clock, from which PrintQueryLog reads.
std::string ServerNow(const Cluster& cluster) { return cluster.Query(1, "SELECT toUnixTimestamp(now())"); }

/// ClickHouse with --query-log: per server, the statements its log holds since `since` by the side that
/// sent them (the processor's ids begin "corvane-", the client's "bench-client-"; a shard's part of a
/// distributed statement is its sender's "remote"): how many, the server's time, the rows read.
void PrintQueryLog(const Cluster& cluster, const std::string& since)
{
    for (const int server : {1, 2}) cluster.Query(server, "SYSTEM FLUSH LOGS");
    for (const int server : {1, 2}) {
        std::printf("server %d's query_log:\n%s\n", server,
                    cluster.Query(server,
                                  "SELECT concat(multiIf(initial_query_id LIKE 'corvane-%', 'processor', initial_query_id "
                                  "LIKE 'bench-client-%', 'client', 'other'), if(is_initial_query, '', ' remote')) AS side, "
                                  "substring(replaceRegexpAll(query, '\\\\s+', ' '), 1, 60) AS statement, count() AS n, "
                                  "quantile(0.5)(query_duration_ms) AS median_ms, max(query_duration_ms) AS max_ms, "
                                  "intDiv(sum(read_rows), count()) AS rows_read FROM system.query_log WHERE type = 2 AND "
                                  "event_time >= toDateTime(" + since + ") GROUP BY side, statement ORDER BY statement, side "
                                  "FORMAT PrettyCompactNoEscapes")
                        .c_str());
    }
    std::fflush(stdout);
}

const char* Verdict(bool met) { return met ? "ok" : "MISSED"; }

/// ClickHouse: the whole default dashboard through the module, unforced, on the counters (every
/// sub-response must come from the fast method), as `corvane-host demo` runs it; then its statements.
Dashboard MeasureFastDashboard(const Cluster& cluster, const Options& options)
{
    hostmain::HostRuntime host;
    host.StartServices(HostOptionsFor(cluster));
    const auto recorder = InstallRecorder(host);
    hostmain::SwitchFastMethodOn(host);  // before the module starts, which reads it at once
    host.StartModule();
    if (!hostmain::FastMethodOffered(host))
        throw std::runtime_error("the module does not offer the fast method: were the counters made (corvane-host aggregate)?");
    const QxNodePtr request = QxNodePtr::Parse(hostmain::ReadTextFile(host.Config().demoRequestFile));
    hostmain::RequestRunner runner(host, kDashboardTimeout);
    const auto run = [&] {
        const auto start = Clock::now();
        const hostmain::RetrieveOutcome outcome = runner.Run(request, {});
        const double ms = MsSince(start);
        CheckMethod(outcome, 1);
        return ms;
    };
    constexpr int kWarmUps = 3;
    std::printf("\nthe whole dashboard by the fast method through the module: %d warm-up runs, then %d timed ...\n",
                kWarmUps, options.fastRuns);
    std::fflush(stdout);
    run();
    recorder->Record(false);
    Dashboard dashboard = DashboardOf(host, recorder->Take(), 1);
    for (int i = 1; i < kWarmUps; ++i) run();
    std::vector<double> times;
    for (int i = 0; i < options.fastRuns; ++i) {
        times.push_back(run());
        if ((i + 1) % 10 == 0 && i + 1 < options.fastRuns) {
            std::printf("  %d of %d ...\n", i + 1, options.fastRuns);
            std::fflush(stdout);
        }
    }
    host.Stop();
    if (!times.empty()) {
        const double median = bench::Quantile(times, 0.5);
        std::printf("\nFAST: the whole default dashboard (%zu statements, %d workers), %d runs after %d warm-ups\n"
                    "  median %.2f ms, p90 %.2f ms, min %.2f ms, max %.2f ms (goal: under 50 ms: %s)\n",
                    dashboard.queries.size(), dashboard.workers, options.fastRuns, kWarmUps, median,
                    bench::Quantile(times, 0.9), *std::min_element(times.begin(), times.end()),
                    *std::max_element(times.begin(), times.end()), Verdict(median < 50));
        std::fflush(stdout);
    }
    return dashboard;
}

/// ClickHouse: the time the processor's read of the counters' coverage takes per counters query.
double CoverageReadMs(const Cluster& cluster)
{
    const auto connection = reporting::OpenStorage(StorageOf(cluster));
    std::vector<double> times;
    for (int i = 0; i < 11; ++i) {
        const auto start = Clock::now();
        reporting::ReadCountersCoverage(*connection);
        if (i > 0) times.push_back(MsSince(start));
    }
    return bench::Quantile(times, 0.5);
}

int RunBenchmark(const Options& options)
{
    const ServerKind& server = *options.server;
    const int64_t records = options.quick ? 1000000 : 10000000;
    const fs::path root = fs::absolute(options.dataDir);
    fs::create_directories(root);
    Cluster cluster(server, root / (server.folder + Label(records)), options.queryLog);
    g_cluster.store(&cluster);
    const StopOnExit stop{cluster};

    const bool dropCaches = CanDropCaches();
    if (options.coldRounds > 0 && !dropCaches)
        std::printf("note: not root (or /proc/sys is read-only): the page cache is not dropped; cold = a restarted server\n");
    const Load load = EnsureLoaded(cluster, records);
    std::printf("cluster %s: %s records, loaded in %.0f s%s", cluster.Dir().c_str(), Label(records).c_str(), load.seconds,
                load.reused ? " (an earlier run)" : "");
    if (IsClickHouse(server)) std::printf(", the counters' views made and filled in %.0f s", load.aggregateSeconds);
    std::printf("; disk used %.2f GB\n", static_cast<double>(DiskUsed(cluster.Dir())) / 1e9);
    if (IsClickHouse(server)) WaitForMerges(cluster);
    const int64_t age = (static_cast<int64_t>(std::time(nullptr)) - NewestRecord(StorageOf(cluster))) / 86400;
    if (age >= 1)
        std::printf("the records are %lld days old: fewer of them fall in the dashboard's range; remove %s to load anew\n",
                    static_cast<long long>(age), cluster.Dir().c_str());

    std::printf("running the dashboard through the module once to capture its statements ...\n");
    std::fflush(stdout);
    const Dashboard dashboard = CaptureDashboard(cluster);
    std::printf("%zu statements. processor: the query, polls of its handle (a pause of %lld ms after each unfinished "
                "one, as the module's), the result, free, timed here; %d workers. ",
                dashboard.queries.size(), static_cast<long long>(dashboard.waitInterval.count()), dashboard.workers);
    if (IsClickHouse(server)) {
        std::printf("clickhouse-client: a process per statement on server 1, started and connected before it, the text "
                    "the backend sends, timed by its --time, rows to --format Null\n");
        PrintClickHouseFloor(cluster, dashboard);
        if (options.queryLog) std::printf("every statement is in system.query_log (--query-log)\n");
    } else {
        std::printf("psql: PREPARE and EXECUTE in one session, timed by its \\timing\n");
        std::printf("a new connection of the backend opens in %.2f ms (in a new processor's first cold statement, not in "
                    "psql's timings)\n",
                    ConnectMs(cluster.Connection()));
    }

    const bool queryLog = IsClickHouse(server) && options.queryLog;
    std::vector<Run> expected;
    std::string since = queryLog ? ServerNow(cluster) : "";
    const double warm = MeasureWarm(cluster, dashboard, options, "", expected);
    if (queryLog) {
        std::printf("\nthe warm standard method at the servers:\n");
        PrintQueryLog(cluster, since);
    }
    const double cold = options.coldRounds > 0 ? MeasureCold(cluster, dashboard, options, dropCaches, expected) : 0;
    std::printf("\ntotals, processor / %s, the statements one after another: warm %.3f", server.client, warm);
    if (options.coldRounds > 0) std::printf(", cold %.3f", cold);
    std::printf(" (goal <= %.1f)\n", server.goal);
    std::fflush(stdout);

    if (IsClickHouse(server) && options.fastRuns > 0) {
        since = queryLog ? ServerNow(cluster) : "";
        const Dashboard fast = MeasureFastDashboard(cluster, options);
        if (queryLog) {
            std::printf("\nthe whole dashboard by the fast method at the servers, warm-ups included:\n");
            PrintQueryLog(cluster, since);
        }
        std::printf("the processor reads the counters' coverage before each counters query: %.2f ms on an open "
                    "connection\nthe fast method's statements one by one, the same way as the standard method's ...\n",
                    CoverageReadMs(cluster));
        std::vector<Run> fastExpected;
        const double fastRatio = MeasureWarm(cluster, fast, options, "FAST METHOD STATEMENTS, ", fastExpected);
        std::printf("\nfast method's statements, processor / %s, one after another: warm %.3f\n", server.client, fastRatio);
    }
    cluster.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) return Usage("bad arguments");
    // Blocked before any thread starts, so that only the watcher takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a client that ended fails its write, not this process
    std::thread(WatchSignals, signals).detach();
    // The module's log goes beside the clusters.
    fs::create_directories(options.dataDir);
    setenv("GS_General_DataDirectoryPath", fs::absolute(options.dataDir).c_str(), 0);
    try {
        return RunBenchmark(options);
    } catch (...) {
        std::fprintf(stderr, "server_standard_bench: %s\n", hostmain::CurrentErrorText().c_str());
        return 3;
    }
}
