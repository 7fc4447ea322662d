// The standard method on PostgreSQL: the default dashboard's statements
// (config/dashboard.xml with RetrieveMethod 2, as the module sends them)
// through the queries processor service the way the module uses it (query,
// polls of its handle, result, free) against the same statements with the
// same values run by psql (PREPARE and EXECUTE, timed by psql's \timing), the
// two sides taking turns. Warm: medians of the rounds after a warm-up. Cold:
// each side's first run after a server restart and, as root, a dropped page
// cache; which side goes first alternates between rounds.
//
//   pg_standard_bench [--quick] [--rounds N] [--cold N] [--data-dir DIR] [--verbose]
//
// The cluster lives in DIR/pg-10M (DIR/pg-1M with --quick) and is made and
// loaded once (scripts/pg-cluster.sh, then the host's sample generator); the
// file "loaded" there says the load completed, and a cluster without it is
// removed and made again. The server started here is stopped on every way
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
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <numeric>
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
#include "host/reporting/processor/QueriesProcessorService.h"
#include "host/reporting/storage/Schema.h"

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
const char* const kClusterScript = CORVANE_SOURCE_DIR "/scripts/pg-cluster.sh";

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

struct Options {
    bool quick = false;
    int rounds = 5;
    int coldRounds = 4;
    bool verbose = false;
    std::string dataDir = CORVANE_BENCH_DATA_DIR;
};

int Usage(const char* why)
{
    std::fprintf(stderr,
                 "pg_standard_bench: %s\nusage: pg_standard_bench [--quick] [--rounds N] [--cold N] [--data-dir DIR] "
                 "[--verbose]\n  --quick       1M records (else 10M)\n  --rounds N    warm rounds after the warm-up "
                 "(default 5)\n  --cold N      cold rounds, each a restart per side (default 4; 0: none)\n  --data-dir    "
                 "where the clusters are kept (default " CORVANE_BENCH_DATA_DIR ")\n  --verbose     each statement's SQL, "
                 "values and plan\n",
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
        } else if (arg == "--rounds") {
            if (!number(1, 1000, options.rounds)) return false;
        } else if (arg == "--cold") {
            if (!number(0, 100, options.coldRounds)) return false;
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

ScriptRun RunClusterScript(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"/bin/bash", kClusterScript};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child = Spawn(argv, false);
    ScriptRun run;
    const bool inTime = ReadChild(child, run.out, run.err, Clock::now() + kScriptDeadline, {});
    run.exitCode = Reap(child, inTime ? std::chrono::milliseconds(60000) : std::chrono::milliseconds(0));
    if (!inTime) run.err += "\n(killed after " + std::to_string(kScriptDeadline.count()) + " min)";
    return run;
}

// --- the cluster ---

/// One cluster folder of scripts/pg-cluster.sh. Start and Stop may be called from the signal watcher
/// while the main thread waits in them: one lock orders them.
class Cluster {
public:
    explicit Cluster(fs::path dir) : m_dir(std::move(dir)) {}

    const fs::path& Dir() const { return m_dir; }
    std::string Connection() const
    {
        std::lock_guard guard(m_lock);
        return m_connection;
    }

    void Start()
    {
        std::lock_guard guard(m_lock);
        m_mayRun = true;  // from here on a stop is owed, even if the script fails half way
        const ScriptRun run = RunClusterScript({"start", m_dir.string()});
        std::string last = run.out;
        while (!last.empty() && last.back() == '\n') last.pop_back();
        last = last.substr(last.find_last_of('\n') == std::string::npos ? 0 : last.find_last_of('\n') + 1);
        if (run.exitCode != 0 || last.rfind("host=", 0) != 0)
            throw std::runtime_error("pg-cluster.sh start " + m_dir.string() + " failed (exit " +
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
            std::fprintf(stderr, "pg_standard_bench: %s\n", error.what());
        }
    }
    /// Holds the lock for good: the signal watcher's last act before the process ends.
    void StopAndKeepLocked() noexcept
    {
        m_lock.lock();
        try {
            if (m_mayRun) StopLocked();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "pg_standard_bench: %s\n", error.what());
        }
    }

private:
    void StopLocked()
    {
        const ScriptRun run = RunClusterScript({"stop", m_dir.string()});
        if (run.exitCode != 0)
            throw std::runtime_error("pg-cluster.sh stop " + m_dir.string() + " failed (exit " +
                                     std::to_string(run.exitCode) + "):\n" + run.out + run.err);
        m_mayRun = false;
    }

    const fs::path m_dir;
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
    std::fprintf(stderr, "\npg_standard_bench: %s: stopping the server and leaving\n", strsignal(signal));
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
fs::path WriteConfig(const fs::path& dir, const std::string& connection)
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
    set(databases[0], "StorageKind", "postgresql");
    set(databases[0], "StorageConnection", connection);
    set(processors[0], "QueryTimeLimitMs:i64", std::to_string(kQueryTimeLimitMs));
    if (!document.save_file((target / "host.cfg.xml").c_str(), "  "))
        throw std::runtime_error("cannot write " + (target / "host.cfg.xml").string());
    return target / "host.cfg.xml";
}

hostmain::HostOptions HostOptionsFor(const Cluster& cluster)
{
    return {.configFile = WriteConfig(cluster.Dir(), cluster.Connection()).string(),
            .dataDirectory = (cluster.Dir() / "host").string()};
}

uintmax_t DiskUsed(const fs::path& folder)
{
    uintmax_t bytes = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error)) bytes += it->file_size(error);
    return bytes;
}

struct Load {
    double seconds = 0;  ///< of the load that made the cluster, this run's or an earlier one's
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
    {
        hostmain::HostRuntime host;
        host.StartServices(HostOptionsFor(cluster));
        hostmain::CommandOptions command;
        command.records = records;
        command.days = 30;
        command.seed = 1;
        hostmain::GenerateIfMissing(host, command, std::cout);
        host.Stop();
    }
    const int64_t count = hostmain::CountRecords({"postgresql", cluster.Connection()});
    if (count != records)
        throw std::runtime_error("the load left " + std::to_string(count) + " records, not " + std::to_string(records));
    Load load;
    load.seconds = MsSince(start) / 1000;
    // The load's WAL stays as recycled segments, up to max_wal_size: a read-only benchmark needs little.
    for (const char* sql : {"ALTER SYSTEM SET max_wal_size = '256MB'", "SELECT pg_reload_conf()", "CHECKPOINT", "CHECKPOINT"}) {
        const ScriptRun run = RunClusterScript({"psql", cluster.Dir().string(), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-c", sql});
        if (run.exitCode != 0) throw std::runtime_error(std::string("psql ") + sql + ": " + run.out + run.err);
    }
    std::ofstream(marker) << "records " << records << "\nseconds " << load.seconds << "\n";
    return load;
}

/// Stands in front of the queries processor and keeps a copy of every query sent while recording.
class RecordingProcessor : public Implements<IRequestProcessor> {
public:
    explicit RecordingProcessor(ComPtr<IRequestProcessor> next) : m_next(std::move(next)) {}

    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override
    {
        if (request) {
            try {
                const QxNodePtr node(request);
                if (node.GetType() == "Query") {
                    std::lock_guard guard(m_lock);
                    m_queries.push_back(node.Clone());
                }
            } catch (...) {
            }
        }
        return m_next->ProcessRequest(request, response);
    }
    std::vector<QxNodePtr> Take()
    {
        std::lock_guard guard(m_lock);
        return std::exchange(m_queries, {});
    }

private:
    const ComPtr<IRequestProcessor> m_next;
    std::mutex m_lock;
    std::vector<QxNodePtr> m_queries;
};

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
    std::vector<QxNodePtr> queries;
    std::vector<reporting::TranslatedQuery> statements;
    QxNodePtr processorConfig;  ///< the host's, without its storage attributes
    QxNodePtr metrics;
    std::chrono::milliseconds waitInterval{10};
    int workers = 2;
};

/// Runs the default dashboard by the standard method through the module once and keeps the queries
/// it sent to the queries processor, with their statements as the processor translates them.
Dashboard CaptureDashboard(const Cluster& cluster)
{
    hostmain::HostRuntime host;
    host.StartServices(HostOptionsFor(cluster));
    host::CServiceClient& client = *host.ServiceClient();
    const std::string uri = host.Config().queriesProcessor.GetAttributeOr("Uri", "Service.QueriesProcessor");
    ComPtr<IRequestProcessor> processor;
    if (client.CreateProxy(ToUtf16(uri).c_str(), 0, &IRequestProcessor::kIid, processor.PutVoid()) < 0 || !processor)
        throw std::runtime_error("the queries processor is not registered under '" + uri + "'");
    const auto recorder = CreateComponent<RecordingProcessor>(processor);
    client.UnregisterService(uri);
    client.RegisterService(uri, static_cast<IRequestProcessor*>(recorder.Get()));
    host.StartModule();

    const QxNodePtr request = QxNodePtr::Parse(hostmain::ReadTextFile(host.Config().demoRequestFile));
    request.SetAttribute("RetrieveMethod", int32_t{2});
    hostmain::RequestRunner runner(host, std::chrono::milliseconds(kQueryTimeLimitMs));
    const hostmain::RetrieveOutcome outcome = runner.Run(request, {});
    if (outcome.failed || outcome.timedOut || outcome.interrupted || hostmain::RetrieveStatusOf(outcome.last) != 1)
        throw std::runtime_error("the dashboard did not complete: " +
                                 (outcome.failure.empty() ? outcome.last.ToText() : outcome.failure));
    for (const QxNodePtr& sub : outcome.last.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        const QxNodePtr meta = sub.GetChild("MetaInfo", false);
        if (!meta || meta.GetAttributeOr<int32_t>("RetrieveMethod", 0) != 2)
            throw std::runtime_error("sub-request '" + sub.GetName() + "' was not answered by the standard method");
    }

    Dashboard dashboard;
    dashboard.queries = recorder->Take();
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
    for (const QxNodePtr& query : dashboard.queries) {
        if (counters && counters->Serves(query))
            throw std::runtime_error("query '" + query.GetName() + "' reads the counters: not the standard method");
        dashboard.statements.push_back(translator.Translate(query));
    }
    host.Stop();
    return dashboard;
}

/// The processor's configuration as the host builds it, on the cluster's current connection.
QxNodePtr ProcessorConfig(const Dashboard& dashboard, const std::string& connection)
{
    const QxNodePtr config = dashboard.processorConfig.Clone();
    config.SetAttribute("StorageKind", "postgresql");
    config.SetAttribute("StorageConnection", connection);
    config.SetAttribute("QueryTimeLimitMs", kQueryTimeLimitMs);
    if (dashboard.metrics) config.AddChild(dashboard.metrics.Clone());
    return config;
}

int64_t NewestRecord(const std::string& connection)
{
    const auto storage = reporting::OpenStorage({"postgresql", connection});
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

/// One psql process on the cluster, fed through its standard input. A statement goes as PREPARE without
/// types (the server infers them, as the backend's Prepare lets it) and EXECUTE with the same values:
/// planned for those values, as the backend's unnamed statement is. Its time is the sum of psql's
/// \timing of the two.
class PsqlSession {
public:
    explicit PsqlSession(const fs::path& clusterDir)
    {
        m_child = Spawn({"/bin/bash", kClusterScript, "psql", clusterDir.string(), "-X", "-q", "-At", "-v",
                         "ON_ERROR_STOP=1"},
                        true);
        Exchange("SELECT 1;\n", std::chrono::seconds(30));  // connected, before anything is timed
    }
    ~PsqlSession() { Reap(m_child, std::chrono::seconds(5)); }
    PsqlSession(const PsqlSession&) = delete;
    PsqlSession& operator=(const PsqlSession&) = delete;

    Run Execute(const reporting::TranslatedQuery& query)
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

    /// EXPLAIN of the statement as Execute runs it.
    std::string Explain(const reporting::TranslatedQuery& query)
    {
        return Exchange("DEALLOCATE ALL;\nPREPARE corvane_q AS " + query.sql + ";\nEXPLAIN " + ExecuteText(query) + "\n",
                        kStatementDeadline);
    }

private:
    /// Sends the script and a marker; psql's output up to the marker. Throws with psql's errors when it
    /// ends (ON_ERROR_STOP) or passes the deadline.
    std::string Exchange(const std::string& script, std::chrono::milliseconds deadline)
    {
        const std::string marker = "@@corvane-" + std::to_string(++m_exchanges);
        const std::string text = script + "\\echo " + marker + "\n";
        for (size_t sent = 0; sent < text.size();) {
            const ssize_t wrote = m_child.in < 0 ? -1 : write(m_child.in, text.data() + sent, text.size() - sent);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote < 0) {
                std::string out;
                ReadChild(m_child, out, m_errors, Clock::now() + std::chrono::seconds(1), {});
                throw std::runtime_error("psql has ended: " + m_errors);
            }
            sent += static_cast<size_t>(wrote);
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

/// The statements one per session on as many sessions as the processor has workers, each taking the
/// next statement when done; the time until the last is done.
double AtOnceThroughPsql(std::vector<std::unique_ptr<PsqlSession>>& sessions, const Dashboard& dashboard)
{
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

void CheckSame(const Run& processor, const Run& psql, const QxNodePtr& query)
{
    if (processor.rows != psql.rows || processor.counted != psql.counted)
        throw std::runtime_error("'" + query.GetName() + "' answered differently: processor " +
                                 std::to_string(processor.rows) + " rows counting " + std::to_string(processor.counted) +
                                 ", psql " + std::to_string(psql.rows) + " rows counting " + std::to_string(psql.counted));
}

// --- measuring and the table ---

struct Samples {
    std::vector<std::vector<double>> processor, psql;  ///< per statement, one per round
    std::vector<double> processorTotal, psqlTotal;      ///< per round: the statements one after another
    std::vector<double> processorAtOnce, psqlAtOnce;    ///< per round: the dashboard at once

    explicit Samples(size_t statements) : processor(statements), psql(statements) {}
};

double Mean(const std::vector<double>& samples)
{
    return samples.empty() ? 0 : std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

/// The table of one measurement; the ratio of the totals.
double PrintTable(const char* title, const Dashboard& dashboard, const Samples& samples, bool median)
{
    const auto summary = [&](const std::vector<double>& values) { return median ? bench::Quantile(values, 0.5) : Mean(values); };
    std::printf("\n%s\n%-44s %14s %12s %7s\n", title, "statement", "processor ms", "psql ms", "ratio");
    for (size_t i = 0; i < dashboard.queries.size(); ++i) {
        const double a = summary(samples.processor[i]), b = summary(samples.psql[i]);
        std::printf("%-44.44s %14.2f %12.2f %7.3f\n", dashboard.queries[i].GetName().c_str(), a, b, Ratio(a, b));
    }
    const double a = summary(samples.processorTotal), b = summary(samples.psqlTotal);
    std::printf("%-44s %14.2f %12.2f %7.3f\n", "whole dashboard, one statement after another", a, b, Ratio(a, b));
    if (!samples.processorAtOnce.empty()) {
        const double c = summary(samples.processorAtOnce), d = summary(samples.psqlAtOnce);
        char label[64];
        std::snprintf(label, sizeof label, "whole dashboard at once, on %d workers", dashboard.workers);
        std::printf("%-44s %14.2f %12.2f %7.3f\n", label, c, d, Ratio(c, d));
    }
    std::fflush(stdout);
    return Ratio(a, b);
}

/// Warm: a warm-up run of each statement on each side, then the rounds, the sides taking turns.
double MeasureWarm(const Cluster& cluster, const Dashboard& dashboard, const Options& options)
{
    const auto processor = reporting::CreateQueriesProcessor(ProcessorConfig(dashboard, cluster.Connection()));
    IRequestProcessor& service = *processor;
    std::vector<std::unique_ptr<PsqlSession>> sessions;
    for (int i = 0; i < std::max(dashboard.workers, 1); ++i) sessions.push_back(std::make_unique<PsqlSession>(cluster.Dir()));
    PsqlSession& psql = *sessions.front();
    const size_t count = dashboard.queries.size();

    std::printf("warm-up ...\n");
    std::fflush(stdout);
    for (size_t i = 0; i < count; ++i) {
        const Run a = ThroughProcessor(service, dashboard.queries[i], dashboard.waitInterval);
        const Run b = psql.Execute(dashboard.statements[i]);
        CheckSame(a, b, dashboard.queries[i]);
        if (options.verbose)
            std::printf("  %s: %lld rows, counting %lld\n%s\n    %s\n%s", dashboard.queries[i].GetName().c_str(),
                        static_cast<long long>(a.rows), static_cast<long long>(a.counted),
                        dashboard.statements[i].sql.c_str(), ExecuteText(dashboard.statements[i]).c_str(),
                        psql.Explain(dashboard.statements[i]).c_str());
    }
    AtOnceThroughProcessor(service, dashboard);
    AtOnceThroughPsql(sessions, dashboard);

    Samples samples(count);
    for (int round = 0; round < options.rounds; ++round) {
        std::printf("warm round %d of %d ...\n", round + 1, options.rounds);
        std::fflush(stdout);
        double totalA = 0, totalB = 0;
        for (size_t i = 0; i < count; ++i) {
            Run a, b;
            if ((round + i) % 2 == 0) {
                a = ThroughProcessor(service, dashboard.queries[i], dashboard.waitInterval);
                b = psql.Execute(dashboard.statements[i]);
            } else {
                b = psql.Execute(dashboard.statements[i]);
                a = ThroughProcessor(service, dashboard.queries[i], dashboard.waitInterval);
            }
            CheckSame(a, b, dashboard.queries[i]);
            samples.processor[i].push_back(a.ms);
            samples.psql[i].push_back(b.ms);
            totalA += a.ms;
            totalB += b.ms;
        }
        samples.processorTotal.push_back(totalA);
        samples.psqlTotal.push_back(totalB);
        if (round % 2 == 0) {
            samples.processorAtOnce.push_back(AtOnceThroughProcessor(service, dashboard));
            samples.psqlAtOnce.push_back(AtOnceThroughPsql(sessions, dashboard));
        } else {
            samples.psqlAtOnce.push_back(AtOnceThroughPsql(sessions, dashboard));
            samples.processorAtOnce.push_back(AtOnceThroughProcessor(service, dashboard));
        }
    }
    processor->Shutdown();
    char title[160];
    std::snprintf(title, sizeof title, "WARM: medians of %d rounds after a warm-up", options.rounds);
    return PrintTable(title, dashboard, samples, true);
}

/// Cold: per round and side a restarted server (and a dropped page cache when allowed), then the
/// statements one after another on a new processor or a new psql session.
double MeasureCold(Cluster& cluster, const Dashboard& dashboard, const Options& options, bool dropCaches)
{
    const size_t count = dashboard.queries.size();
    Samples samples(count);
    std::vector<Run> processorRuns(count), psqlRuns(count);
    for (int round = 0; round < options.coldRounds; ++round) {
        for (const bool processorSide : {round % 2 == 0, round % 2 != 0}) {
            std::printf("cold round %d of %d: %s ...\n", round + 1, options.coldRounds, processorSide ? "processor" : "psql");
            std::fflush(stdout);
            cluster.Stop();
            if (dropCaches) DropCaches();
            cluster.Start();
            double total = 0;
            if (processorSide) {
                // The first connection after a start reads the catalogs from disk; on the psql side that is
                // the session's, before anything is timed. Here a session of its own does it.
                { PsqlSession first(cluster.Dir()); }
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
                PsqlSession psql(cluster.Dir());
                for (size_t i = 0; i < count; ++i) {
                    psqlRuns[i] = psql.Execute(dashboard.statements[i]);
                    samples.psql[i].push_back(psqlRuns[i].ms);
                    total += psqlRuns[i].ms;
                }
                samples.psqlTotal.push_back(total);
            }
        }
        for (size_t i = 0; i < count; ++i) CheckSame(processorRuns[i], psqlRuns[i], dashboard.queries[i]);
    }
    char title[200];
    std::snprintf(title, sizeof title, "COLD: means of %d rounds, each side's first run after a server restart%s",
                  options.coldRounds, dropCaches ? " and a dropped page cache" : " (page cache kept: not root)");
    return PrintTable(title, dashboard, samples, false);
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

int RunBenchmark(const Options& options)
{
    const int64_t records = options.quick ? 1000000 : 10000000;
    const fs::path root = fs::absolute(options.dataDir);
    fs::create_directories(root);
    Cluster cluster(root / ("pg-" + Label(records)));
    g_cluster.store(&cluster);
    const StopOnExit stop{cluster};

    const bool dropCaches = CanDropCaches();
    if (options.coldRounds > 0 && !dropCaches)
        std::printf("note: not root (or /proc/sys is read-only): the page cache is not dropped; cold = a restarted server\n");
    const Load load = EnsureLoaded(cluster, records);
    std::printf("cluster %s: %s records, loaded in %.0f s%s; disk used %.2f GB\n", cluster.Dir().c_str(),
                Label(records).c_str(), load.seconds, load.reused ? " (an earlier run)" : "",
                static_cast<double>(DiskUsed(cluster.Dir())) / 1e9);
    const int64_t age = (static_cast<int64_t>(std::time(nullptr)) - NewestRecord(cluster.Connection())) / 86400;
    if (age >= 1)
        std::printf("the records are %lld days old: fewer of them fall in the dashboard's range; remove %s to load anew\n",
                    static_cast<long long>(age), cluster.Dir().c_str());

    std::printf("running the dashboard through the module once to capture its statements ...\n");
    std::fflush(stdout);
    const Dashboard dashboard = CaptureDashboard(cluster);
    std::printf("%zu statements. processor: the query, polls of its handle (a pause of %lld ms after each unfinished "
                "one, as the module's), the result, free, timed here; %d workers. psql: PREPARE and EXECUTE in one session, "
                "timed by its \\timing\n",
                dashboard.queries.size(), static_cast<long long>(dashboard.waitInterval.count()), dashboard.workers);
    std::printf("a new connection of the backend opens in %.2f ms (in a new processor's first cold statement, not in "
                "psql's timings)\n",
                ConnectMs(cluster.Connection()));

    const double warm = MeasureWarm(cluster, dashboard, options);
    const double cold = options.coldRounds > 0 ? MeasureCold(cluster, dashboard, options, dropCaches) : 0;
    std::printf("\ntotals, processor / psql, the statements one after another: warm %.3f", warm);
    if (options.coldRounds > 0) std::printf(", cold %.3f", cold);
    std::printf(" (goal <= 1.1)\n");
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
    signal(SIGPIPE, SIG_IGN);  // a psql that ended fails its write, not this process
    std::thread(WatchSignals, signals).detach();
    // The module's log goes beside the clusters.
    fs::create_directories(options.dataDir);
    setenv("GS_General_DataDirectoryPath", fs::absolute(options.dataDir).c_str(), 0);
    try {
        return RunBenchmark(options);
    } catch (...) {
        std::fprintf(stderr, "pg_standard_bench: %s\n", hostmain::CurrentErrorText().c_str());
        return 3;
    }
}
