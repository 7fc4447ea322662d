// Load and soak: one module in this process, run by the host runtime as
// corvane-host runs it (requests reach it through its export), on SQLite with
// N generated and aggregated records. Per round, T threads each send M retrieve
// requests of the default dashboard (config/dashboard.xml) over varied time
// ranges: polled to completion with partial results, freed after the first
// partial answer, or abandoned to expire (TtlRequest is shortened in a copy of
// the configuration); between them the other requests (RetrieveTimeRange,
// GetRetrieveMethod, RetrieveCookie, FreeCookie of an unknown token).
// After each round, once abandoned cookies have expired and every query has
// finished, it reads: the module's live contexts, the held queries, threads,
// resident memory and heap in use. Round 0 is a warm-up: resident memory is
// bounded against round 1.
//
//   soak [--threads N] [--requests M] [--rounds R | --minutes T] [--records N] [--ttl-ms MS]
//        [--rss-growth PCT] [--arenas N] [--data-dir DIR] [--quick]
//
// Live contexts: the module is reached only through its export, so they are
// read as the host sees them. Every token the module handed out is kept, and
// after the round each is asked for with a RetrieveCookieRequest carrying it,
// which finds the request and answers its cookie without touching it, or
// answers 0x80070490 once it is gone. Tokens still there are asked for again
// after every later round.
//
// The database is made once into DIR/records-<N> (as dashboard_bench makes it)
// and reused. Exit codes: 0 clean; 1 a lost request or wrong answer, contexts
// or held queries left after a round, threads grown between rounds, resident
// memory grown beyond the bound over round 1; 2 bad command line;
// 3 setup failed; 128+N on signal N.
#include <dirent.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFolders.h"
#include "corvane/Platform.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/main/Commands.h"
#include "host/main/ModuleLoader.h"
#include "host/main/RequestRunner.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/storage/Schema.h"

#ifndef CORVANE_BENCH_DATA_DIR
#define CORVANE_BENCH_DATA_DIR "bench-data"
#endif

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define CORVANE_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define CORVANE_SOAK_SANITIZED 1
#endif
#endif

namespace {

using namespace cvn;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kExitFailed = 1, kExitUsage = 2, kExitSetup = 3;
constexpr auto kRetrieveTimeout = std::chrono::seconds(60);  // a dashboard on 1M records takes well under a second alone
constexpr auto kSettleSlack = std::chrono::seconds(15);      // beyond the time to live and a collector period
constexpr int64_t kCollectorIntervalSec = 1;

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------------------------------
// SIGINT and SIGTERM are taken by one thread, which only sets a flag; every loop checks it.

std::atomic<int> g_signal{0};

void WatchSignals()
{
    static sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread([] {
        int signal = 0;
        if (sigwait(&stopSignals, &signal) == 0) g_signal.store(signal);
    }).detach();
}

bool Stopping() { return g_signal.load() != 0; }

// ---------------------------------------------------------------------------------------------------------------

struct Options {
    int threads = 8;
    int requests = 50;  ///< retrieve requests per thread per round
    int rounds = 10;
    double minutes = 0;  ///< when set, rounds until this much time has passed
    int64_t records = 1000000;
    int64_t ttlMs = 1000;
    double rssGrowthPct = 10;
    int arenas = 2;  ///< malloc arenas at most; 0: glibc's default (eight a core)
    std::string dataDir = CORVANE_BENCH_DATA_DIR;
};

int Usage(const std::string& why)
{
    std::fprintf(stderr,
                 "soak: %s\n"
                 "usage: soak [--threads N] [--requests M] [--rounds R | --minutes T] [--records N] [--ttl-ms MS]\n"
                 "            [--rss-growth PCT] [--arenas N] [--data-dir DIR] [--quick]\n"
                 "  --threads N       threads sending requests at once (default 8)\n"
                 "  --requests M      retrieve requests per thread per round (default 50)\n"
                 "  --rounds R        rounds after a warm-up round 0; the module's state and memory are read\n"
                 "                    after each (default 10)\n"
                 "  --minutes T       rounds until T minutes have passed instead (at least two after round 0)\n"
                 "  --records N       generated records of the database (default 1000000)\n"
                 "  --ttl-ms MS       time to live of a request nobody polls (default 1000; the configuration\n"
                 "                    takes whole seconds, so it is rounded up)\n"
                 "  --rss-growth PCT  resident memory may exceed round 1's by this (default 10)\n"
                 "  --arenas N        malloc arenas at most (default 2; 0: glibc's default, eight a core, where\n"
                 "                    resident memory keeps growing for tens of rounds as the arenas fill)\n"
                 "  --data-dir DIR    where the databases are kept (default " CORVANE_BENCH_DATA_DIR ")\n"
                 "  --quick           a short run for CI: 20000 records, 4 threads x 8 requests, 2 rounds\n"
                 "                    (options given too take precedence)\n",
                 why.c_str());
    return kExitUsage;
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& why)
{
    // --quick sets defaults; the options given beside it win whatever their order.
    Options options;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--quick") options = {.threads = 4, .requests = 8, .rounds = 2, .records = 20000};
    bool rounds = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") continue;
        const auto text = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc || !*argv[i + 1]) return std::nullopt;
            return std::string(argv[++i]);
        };
        const auto number = [&](double low, double high, bool whole) -> std::optional<double> {
            const auto value = text();
            if (!value) return std::nullopt;
            char* end = nullptr;
            const double n = std::strtod(value->c_str(), &end);
            if (!end || *end != '\0' || !(n >= low && n <= high) || (whole && n != std::floor(n))) return std::nullopt;
            return n;
        };
        std::optional<double> n;
        std::optional<std::string> s;
        if (arg == "--threads" && (n = number(1, 256, true))) {
            options.threads = static_cast<int>(*n);
        } else if (arg == "--requests" && (n = number(1, 1e6, true))) {
            options.requests = static_cast<int>(*n);
        } else if (arg == "--rounds" && (n = number(1, 10000, true))) {
            options.rounds = static_cast<int>(*n);
            rounds = true;
        } else if (arg == "--minutes" && (n = number(0.01, 7 * 24 * 60, false))) {
            options.minutes = *n;
        } else if (arg == "--records" && (n = number(1000, 1e9, true))) {
            options.records = static_cast<int64_t>(*n);
        } else if (arg == "--ttl-ms" && (n = number(1, 3600000, true))) {
            options.ttlMs = static_cast<int64_t>(*n);
        } else if (arg == "--arenas" && (n = number(0, 1024, true))) {
            options.arenas = static_cast<int>(*n);
        } else if (arg == "--rss-growth" && (n = number(0, 1e6, false))) {
            options.rssGrowthPct = *n;
        } else if (arg == "--data-dir" && (s = text())) {
            options.dataDir = *s;
        } else {
            static const std::vector<std::string> known = {"--threads", "--requests",   "--rounds",  "--minutes",
                                                           "--records", "--ttl-ms", "--rss-growth", "--arenas", "--data-dir"};
            const bool isKnown = std::find(known.begin(), known.end(), arg) != known.end();
            why = (isKnown ? "a missing or bad value for " : "unknown argument ") + arg;
            return std::nullopt;
        }
    }
    if (rounds && options.minutes > 0) {
        why = "--rounds and --minutes exclude each other";
        return std::nullopt;
    }
    return options;
}

std::string Label(int64_t records)
{
    return records % 1000000 == 0 ? std::to_string(records / 1000000) + "M" : std::to_string(records);
}

// ---------------------------------------------------------------------------------------------------------------
// The database and the configuration.

/// The data directory with `records` sample records, aggregated and the fast method on: made once (as
/// dashboard_bench makes it, so both share it), then reused.
std::string EnsureData(const Options& options)
{
    const fs::path root = fs::absolute(options.dataDir);
    fs::create_directories(root);
    const fs::path done = root / ("records-" + Label(options.records));
    if (fs::exists(done)) return done.string();  // renamed into place only when complete
    const std::string prefix = done.filename().string() + ".tmp-";
    bench::RemoveAbandoned(root, prefix);
    const fs::path temporary = root / (prefix + std::to_string(getpid()));
    fs::remove_all(temporary);
    std::printf("generating %s records into %s (once; later runs reuse it) ...\n", Label(options.records).c_str(),
                done.string().c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    try {
        hostmain::HostRuntime host;
        host.StartServices({.configFile = hostmain::ExecutableDirectory() + "/config/host.cfg.xml",
                            .dataDirectory = temporary.string()});
        hostmain::CommandOptions command;
        command.records = options.records;
        command.days = 30;
        command.seed = 1;
        std::ostringstream out;
        hostmain::GenerateIfMissing(host, command, out);
        hostmain::AggregateMetrics(host, out);
        hostmain::SwitchFastMethodOn(host);
        host.Stop();
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(temporary, ignored);  // a half-made database is never reused
        throw;
    }
    fs::rename(temporary, done);
    std::printf("  done in %.0f s\n", MsSince(start) / 1000);
    return done.string();
}

std::string ReadWhole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SetupError("cannot read " + path.string());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWhole(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw SetupError("cannot write " + path.string());
}

/// A copy of the shipped configuration whose gate lets requests nobody polls expire after ttlSec and
/// looks for them every second; the module named by its absolute path. Removed by the destructor.
class SoakConfiguration {
public:
    SoakConfiguration(const fs::path& root, int64_t ttlSec)
    {
        const std::string prefix = "soak-config.tmp-";
        bench::RemoveAbandoned(root, prefix);
        m_directory = root / (prefix + std::to_string(getpid()));
        fs::remove_all(m_directory);
        fs::create_directories(m_directory);
        const fs::path shipped = fs::path(hostmain::ExecutableDirectory()) / "config";
        for (const char* file : {"config-store.xml", "dashboard.xml"}) fs::copy_file(shipped / file, m_directory / file);
        std::string text = ReadWhole(shipped / "host.cfg.xml");
        const auto replace = [&](const std::regex& pattern, const std::string& with, const char* what) {
            std::smatch found;
            if (!std::regex_search(text, found, pattern))
                throw SetupError((shipped / "host.cfg.xml").string() + " has no " + what);
            text = found.prefix().str() + with + found.suffix().str();
        };
        replace(std::regex(R"(TtlRequest:i64="[0-9]+")"), "TtlRequest:i64=\"" + std::to_string(ttlSec) + "\"", "TtlRequest");
        replace(std::regex(R"(GarbageCollectorRoutineInterval:i64="[0-9]+")"),
                "GarbageCollectorRoutineInterval:i64=\"" + std::to_string(kCollectorIntervalSec) + "\"",
                "GarbageCollectorRoutineInterval");
        replace(std::regex(R"(ModuleFile="[^"]*")"), "ModuleFile=\"" + hostmain::ExecutableDirectory() + "/libcorvane.so\"",
                "ModuleFile");
        WriteWhole(m_directory / "host.cfg.xml", text);
    }
    ~SoakConfiguration()
    {
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }
    SoakConfiguration(const SoakConfiguration&) = delete;
    SoakConfiguration& operator=(const SoakConfiguration&) = delete;

    std::string File() const { return (m_directory / "host.cfg.xml").string(); }

private:
    fs::path m_directory;
};

int64_t NewestRecord(const reporting::StorageSettings& storage)
{
    const auto connection = reporting::OpenStorage(storage);
    const reporting::IDialect& sql = connection->Dialect();
    const auto statement = connection->Prepare("SELECT MAX(" + sql.QuoteIdentifier(reporting::RecordColumns::kWhen) +
                                               ") FROM " + sql.QuoteIdentifier(reporting::kAuditRecordsTable));
    if (!statement->Next()) return 0;
    const reporting::SqlValue value = statement->Column(0);
    return std::holds_alternative<int64_t>(value) ? std::get<int64_t>(value) : 0;
}

// ---------------------------------------------------------------------------------------------------------------
// The requests.

/// The dashboard and the varied ranges and zones it is sent with.
struct Workload {
    std::string dashboardText;  ///< the node text form of config/dashboard.xml
    std::string name;
    size_t subRequests = 0;
    int64_t newest = 0;  ///< the newest record; ranges end up to two days before it
};

const int32_t kZones[] = {0, 3600, -5 * 3600, 5 * 3600 + 1800, 12 * 3600 + 2700, -12 * 3600, 14 * 3600, -3 * 3600 - 1800};

QxNodePtr TimeRange(int64_t from, int64_t till)
{
    const QxNodePtr range = QxNodePtr::Create("TimeRange");
    range.SetAttribute("TimeFrom", reporting::FormatUtcTime(from));
    range.SetAttribute("TimeTill", reporting::FormatUtcTime(till));
    return range;
}

/// A time range of a varied length on whole minutes within the records' 30 days; nullopt (the provider's
/// default range) for one request in six.
std::optional<std::pair<int64_t, int64_t>> SomeRange(const Workload& work, std::mt19937_64& random)
{
    const auto uniform = [&](int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(random); };
    static const int64_t spans[] = {3600, 6 * 3600, 86400, 7 * 86400, 30 * 86400};
    const int64_t pick = uniform(0, 5);
    if (pick == 5) return std::nullopt;
    const int64_t till = (work.newest / 60 + 1) * 60 - uniform(0, 2 * 24 * 60) * 60;
    const int64_t span = spans[pick] - uniform(0, spans[pick] / 60 / 4) * 60;
    return std::make_pair(till - span, till);
}

/// Times in buckets 1% wide from 10 us to 10 min: a fixed size whatever the run's length, so the program's own
/// heap does not grow with the samples it keeps.
class Latencies {
public:
    Latencies() : m_counts(kBuckets, 0) {}
    void Add(double ms)
    {
        const double position = ms <= kLowestMs ? 0 : std::log(ms / kLowestMs) / std::log(kStep);
        m_counts[static_cast<size_t>(std::clamp(position, 0.0, static_cast<double>(kBuckets - 1)))]++;
        ++m_total;
    }
    void Add(const Latencies& other)
    {
        for (size_t i = 0; i < kBuckets; ++i) m_counts[i] += other.m_counts[i];
        m_total += other.m_total;
    }
    /// The upper end of the bucket holding the sample at quantile q (nearest rank); 0 for none.
    double Quantile(double q) const
    {
        if (m_total == 0) return 0;
        const int64_t rank = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(q * static_cast<double>(m_total))));
        int64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i)
            if ((seen += m_counts[i]) >= rank) return kLowestMs * std::pow(kStep, static_cast<double>(i + 1));
        return kLowestMs * std::pow(kStep, static_cast<double>(kBuckets));
    }

private:
    static constexpr double kLowestMs = 0.01, kStep = 1.01;
    static constexpr size_t kBuckets = 1570;  // 0.01 ms * 1.01^1570 > 10 min
    std::vector<int64_t> m_counts;
    int64_t m_total = 0;
};

struct Tally {
    int64_t calls = 0, retrieves = 0, completed = 0, freed = 0, abandoned = 0, others = 0, errors = 0;
    int64_t fastResults = 0, standardResults = 0;  ///< sub-results of complete answers by the method that made them
    Latencies firstMs, completeMs;
    double slowestMs = 0;
    std::string slowest;  ///< the slowest complete answer's range and zone
    std::map<std::string, int64_t> errorKinds;
    std::string firstError;
    std::vector<GUID> tokens;  ///< every token the module handed out (not summed by Add)
    Clock::time_point lastAbandoned{};

    void Error(const std::string& kind, const std::string& detail)
    {
        ++errors;
        ++errorKinds[kind];
        if (firstError.empty()) firstError = kind + ": " + detail.substr(0, 800);
    }
    void Add(const Tally& other)
    {
        calls += other.calls;
        retrieves += other.retrieves;
        completed += other.completed;
        freed += other.freed;
        abandoned += other.abandoned;
        others += other.others;
        errors += other.errors;
        fastResults += other.fastResults;
        standardResults += other.standardResults;
        if (other.slowestMs > slowestMs) {
            slowestMs = other.slowestMs;
            slowest = other.slowest;
        }
        firstMs.Add(other.firstMs);
        completeMs.Add(other.completeMs);
        for (const auto& [kind, count] : other.errorKinds) errorKinds[kind] += count;
        if (firstError.empty()) firstError = other.firstError;
        lastAbandoned = std::max(lastAbandoned, other.lastAbandoned);
    }
};

std::string Hex(int32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    return text;
}

/// How a retrieve request ends.
enum class Ending {
    Complete,        ///< polled with partial results until status 1
    CookieComplete,  ///< registered by RetrieveCookieRequest, then polled for the whole answer
    Free,            ///< freed after the first answer carrying a result
    AbandonAtOnce,   ///< never polled: expires
    AbandonLater,    ///< left after the first answer carrying a result: expires
};

// Per eight retrieves: three polled to the end with partial results, one registered by cookie and polled
// for the whole answer, two freed half way, two abandoned.
constexpr Ending kSchedule[] = {Ending::Complete, Ending::Free,           Ending::AbandonAtOnce, Ending::Complete,
                                Ending::CookieComplete, Ending::Free, Ending::Complete,      Ending::AbandonLater};

/// One thread's requests; the host is shared.
class Client {
public:
    Client(hostmain::HostRuntime& host, const Workload& work, unsigned seed)
        : m_host(host), m_work(work), m_dashboard(QxNodePtr::Parse(work.dashboardText)), m_random(seed)
    {
    }

    /// Demands the method (1 fast, 2 standard) from the retrieve requests sent from now on; 0: the module's choice.
    void Demand(int32_t method) { m_method = method; }

    void Run(int requests, int offset, Tally& tally)
    {
        for (int i = 0; i < requests && !Stopping(); ++i) {
            Retrieve(kSchedule[static_cast<size_t>(i + offset) % std::size(kSchedule)], tally);
            Other(static_cast<size_t>(i + offset) % 4, tally);
        }
    }

private:
    std::optional<QxNodePtr> Call(const QxNodePtr& request, Tally& tally)
    {
        ++tally.calls;
        try {
            return m_host.Process(request);
        } catch (const std::exception& error) {
            tally.Error("the host refused a " + request.GetType(), error.what());
            return std::nullopt;
        }
    }

    QxNodePtr CookieNode(const GUID& token) const
    {
        const QxNodePtr cookie = QxNodePtr::Create("RetrieveCookie");
        cookie.SetAttribute("Token", token);
        return cookie;
    }

    void Retrieve(Ending ending, Tally& tally)
    {
        ++tally.retrieves;
        const QxNodePtr request = m_dashboard.Clone();
        const auto range = SomeRange(m_work, m_random);
        if (range) request.AddChild(TimeRange(range->first, range->second));
        const int32_t zone = kZones[m_random() % std::size(kZones)];
        request.SetAttribute("TimeZoneOffsetSec", zone);
        if (m_method != 0) request.SetAttribute("RetrieveMethod", m_method);
        if (ending == Ending::CookieComplete) request.SetType("RetrieveCookieRequest");
        const auto start = Clock::now();
        const auto first = Call(request, tally);
        if (!first) return;
        GUID token{};
        const QxNodePtr cookie = first->GetChild("RetrieveCookie", false);
        if (hostmain::ResultCodeOf(*first) != 0 || !cookie || !cookie.GetAttribute("Token", token))
            return tally.Error("a new request was refused", first->ToText(0, 0));
        tally.tokens.push_back(token);
        if (ending != Ending::CookieComplete && hostmain::RetrieveStatusOf(*first) != 0)
            return tally.Error("the first answer's RetrieveStatus is not 0", first->ToText(0, 0));
        if (ending == Ending::AbandonAtOnce) {
            ++tally.abandoned;
            tally.lastAbandoned = Clock::now();
            return;
        }
        const QxNodePtr poll = QxNodePtr::Create(m_work.name, "RetrieveCountersRequest");
        poll.SetAttribute("PartialResult", ending != Ending::CookieComplete);
        poll.AddChild(CookieNode(token));
        bool sawResult = false;
        for (;;) {
            const auto answer = Call(poll, tally);
            if (!answer) return;
            const double ms = MsSince(start);
            const int32_t code = hostmain::ResultCodeOf(*answer), status = hostmain::RetrieveStatusOf(*answer);
            if (code != 0 || (status != 0 && status != 1))
                return tally.Error("a poll answered RetrieveStatus " + std::to_string(status) + ", ResultCode " + Hex(code),
                                   answer->ToText(0, 0));
            size_t delivered = 0;
            for (const QxNodePtr& sub : answer->GetChildren()) {
                if (sub.GetType() != "RetrieveCountersSubResponse") continue;
                const int32_t subStatus = hostmain::RetrieveStatusOf(sub);
                if (subStatus == 1) ++delivered;
                else if (subStatus != 0)
                    return tally.Error("a sub-response answered RetrieveStatus " + std::to_string(subStatus) +
                                           ", ResultCode " + Hex(hostmain::ResultCodeOf(sub)),
                                       answer->ToText(0, 0));
            }
            if (delivered > 0 && !sawResult) {
                sawResult = true;
                tally.firstMs.Add(ms);
            }
            if (status == 1) {
                if (delivered != m_work.subRequests)
                    return tally.Error("a complete answer lacks results", answer->ToText(0, 0));
                ++tally.completed;
                tally.completeMs.Add(ms);
                for (const QxNodePtr& sub : answer->GetChildren()) {
                    const QxNodePtr meta = sub.GetChild("MetaInfo", false);
                    const int32_t method = meta ? meta.GetAttributeOr<int32_t>("RetrieveMethod", 0) : 0;
                    tally.fastResults += method == 1;
                    tally.standardResults += method == 2;
                }
                if (ms > tally.slowestMs) {
                    tally.slowestMs = ms;
                    tally.slowest = (range ? reporting::FormatUtcTime(range->first) + " to " +
                                                 reporting::FormatUtcTime(range->second)
                                           : std::string("the default range")) +
                                    ", zone " + std::to_string(zone) + " s";
                }
                return;
            }
            if (sawResult && ending == Ending::Free) {
                ++tally.freed;
                return Free(token, tally);
            }
            if (sawResult && ending == Ending::AbandonLater) {
                ++tally.abandoned;
                tally.lastAbandoned = Clock::now();
                return;
            }
            if (Clock::now() - start > kRetrieveTimeout) {
                Free(token, tally);
                return tally.Error("no complete answer within 60 s", answer->ToText(0, 0));
            }
        }
    }

    void Free(const GUID& token, Tally& tally)
    {
        const QxNodePtr free = QxNodePtr::Create(m_work.name, "FreeCookieRequest");
        free.AddChild(CookieNode(token));
        const auto answer = Call(free, tally);
        if (answer && hostmain::ResultCodeOf(*answer) != 0)
            tally.Error("FreeCookieRequest answered ResultCode " + Hex(hostmain::ResultCodeOf(*answer)), answer->ToText(0, 0));
    }

    /// The other requests in turn: the time range, the method for a range, freeing a token never issued.
    void Other(size_t which, Tally& tally)
    {
        ++tally.others;
        const int32_t zone = kZones[m_random() % std::size(kZones)];
        if (which == 0) {
            const QxNodePtr request = QxNodePtr::Create("Range", "RetrieveTimeRangeRequest");
            request.SetAttribute("TimeZoneOffsetSec", zone);
            const auto answer = Call(request, tally);
            if (answer && (hostmain::ResultCodeOf(*answer) != 0 || !answer.value().GetChild("TimeRange", false)))
                tally.Error("RetrieveTimeRangeRequest answered no time range", answer->ToText(0, 0));
        } else if (which == 1 || which == 3) {
            const QxNodePtr request = QxNodePtr::Create("Method", "GetRetrieveMethodRequest");
            request.SetAttribute("TimeZoneOffsetSec", zone);
            if (const auto range = SomeRange(m_work, m_random)) request.AddChild(TimeRange(range->first, range->second));
            const auto answer = Call(request, tally);
            if (!answer) return;
            const int32_t method = answer->GetAttributeOr<int32_t>("RetrieveMethod", 0);
            if (hostmain::ResultCodeOf(*answer) != 0 || (method != 1 && method != 2))
                tally.Error("GetRetrieveMethodRequest answered no method", answer->ToText(0, 0));
        } else {
            GUID token{};
            token.Data1 = static_cast<uint32_t>(m_random());
            token.Data2 = static_cast<uint16_t>(m_random());
            token.Data3 = static_cast<uint16_t>(m_random());
            for (uint8_t& byte : token.Data4) byte = static_cast<uint8_t>(m_random());
            Free(token, tally);
        }
    }

    hostmain::HostRuntime& m_host;
    const Workload& m_work;
    const QxNodePtr m_dashboard;
    std::mt19937_64 m_random;
    int32_t m_method = 0;
};

// ---------------------------------------------------------------------------------------------------------------
// The state between rounds.

/// Of the tokens, the ones the module still holds (each asked for without touching it); appends any
/// unexpected answer to `failure`.
std::vector<GUID> StillRegistered(hostmain::HostRuntime& host, const std::vector<GUID>& tokens, std::string& failure)
{
    std::vector<GUID> live;
    for (const GUID& token : tokens) {
        const QxNodePtr probe = QxNodePtr::Create("Probe", "RetrieveCookieRequest");
        const QxNodePtr cookie = QxNodePtr::Create("RetrieveCookie");
        cookie.SetAttribute("Token", token);
        probe.AddChild(cookie);
        const int32_t code = hostmain::ResultCodeOf(host.Process(probe));
        if (code == 0) live.push_back(token);
        else if (static_cast<uint32_t>(code) != static_cast<uint32_t>(kHrNotFound) && failure.empty())
            failure = "asking for token " + GuidToText(token) + " answered " + Hex(code);
    }
    return live;
}

struct Reading {
    size_t contexts = 0;
    size_t heldQueries = 0;
    int threads = 0;
    int64_t rssKb = 0;      ///< resident memory as the process holds it
    int64_t trimmedKb = 0;  ///< resident memory once malloc has given back the free pages it holds
    size_t heapInUse = 0;   ///< mallinfo2 uordblks: blocks allocated and not freed, and those in threads' caches
    double settleSeconds = 0;
};

int CountThreads()
{
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.') ++count;
        closedir(tasks);
    }
    return count;
}

int64_t ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10);
    return -1;
}

void ReadProcess(Reading& reading)
{
    reading.threads = CountThreads();
    reading.rssKb = ResidentKb();
    reading.heapInUse = mallinfo2().uordblks;
    // malloc keeps what threads free for later, as much as the busiest moment needed. Once the free pages are
    // given back, what stays is what the process uses and the pages its blocks pin: a leak stays, retention does
    // not.
    malloc_trim(0);
    reading.trimmedKb = ResidentKb();
}

void PrintErrors(const Tally& tally)
{
    for (const auto& [kind, count] : tally.errorKinds) std::printf("    %6lld x %s\n", static_cast<long long>(count), kind.c_str());
    if (!tally.firstError.empty()) std::printf("    first: %s\n", tally.firstError.c_str());
}

double Mib(int64_t kb) { return static_cast<double>(kb) / 1024.0; }

// ---------------------------------------------------------------------------------------------------------------

int Run(const Options& options)
{
    const fs::path root = fs::absolute(options.dataDir);
    fs::create_directories(root);
    // The logs (the module's and this program's) start empty in a folder of the soak's own unless the caller placed
    // them: a log over its size threshold is no longer written, which would change what a long run measures.
    fs::path logs;
    if (!std::getenv("GS_General_DataDirectoryPath")) {
        logs = root / "soak-logs" / "Logs";
        fs::remove_all(logs);
        fs::create_directories(logs);
        setenv("GS_General_DataDirectoryPath", logs.parent_path().c_str(), 1);
    }
    const std::string dataDirectory = EnsureData(options);
    if (Stopping()) return 128 + g_signal.load();
    const int64_t ttlSec = std::max<int64_t>(1, (options.ttlMs + 999) / 1000);
    const SoakConfiguration configuration(root, ttlSec);

    hostmain::HostRuntime host;
    host.StartServices({.configFile = configuration.File(), .dataDirectory = dataDirectory});
    std::ostringstream ignored;
    hostmain::AggregateMetrics(host, ignored);  // takes in what was added since; nothing, normally
    hostmain::SwitchFastMethodOn(host);         // before the module starts, which reads it at once
    host.StartModule();
    const reporting::CQueriesProcessor* queries = host.QueriesProcessor();
    if (!queries) throw SetupError("the host has no queries processor");

    Workload work;
    const QxNodePtr dashboard = QxNodePtr::Parse(hostmain::ReadTextFile(host.Config().demoRequestFile));
    work.dashboardText = dashboard.ToText();
    work.name = dashboard.GetName();
    for (const QxNodePtr& sub : dashboard.GetChildren()) work.subRequests += sub.GetType() == "RetrieveCountersSubRequest";
    work.newest = NewestRecord(host.Storage());
    const int64_t records = hostmain::CountRecords(host.Storage());

    char length[64];
    if (options.minutes > 0)
        std::snprintf(length, sizeof length, "rounds for %.1f minutes after round 0", options.minutes);
    else
        std::snprintf(length, sizeof length, "%d rounds after round 0", options.rounds);
    char arenas[48];
    if (options.arenas > 0) std::snprintf(arenas, sizeof arenas, "at most %d malloc arenas", options.arenas);
    else std::snprintf(arenas, sizeof arenas, "glibc's malloc arenas");
    std::printf("soak: %s records in %s; %d threads x %d retrieve requests per round, %s; TtlRequest %lld s, collector "
                "every %lld s; %s; dashboard %s (%zu sub-requests)\n",
                Label(records).c_str(), dataDirectory.c_str(), options.threads, options.requests, length,
                static_cast<long long>(ttlSec), static_cast<long long>(kCollectorIntervalSec), arenas,
                host.Config().demoRequestFile.c_str(), work.subRequests);
    std::printf("per 8 retrieves: 3 polled with partial results, 1 by RetrieveCookieRequest polled whole, 2 freed after "
                "the first result, 2 abandoned; after each, one of RetrieveTimeRange, GetRetrieveMethod (x2), "
                "FreeCookie of an unknown token\n");
    std::fflush(stdout);

    {
        // One dashboard alone first, by each method and by the module's choice: a request the module refuses
        // is named at once, not thousands of times over, and what each method starts on first use (the plan
        // processors' subscriptions) is running before the first round is measured.
        Tally warm;
        Client client(host, work, 1);
        for (const int32_t method : {1, 2, 0}) {
            client.Demand(method);
            client.Run(1, 0, warm);
        }
        if (warm.errors || warm.completed != 3) {
            std::printf("the first dashboard failed:\n");
            PrintErrors(warm);
            throw SetupError("the module does not answer the dashboard");
        }
    }

    int code = 0;
    Tally total;
    std::vector<Reading> readings;
    std::vector<GUID> lingering;  // tokens still registered after a round's settling
    double runSeconds = 0;
    const auto soakStart = Clock::now();
    const auto soakEnd = soakStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.minutes * 60));
    const char* sanitized = "";
#ifdef CORVANE_SOAK_SANITIZED
    sanitized = " (the sanitizer's allocator: memory is reported, not bounded)";
#endif
    std::printf("%5s %7s %8s %7s %7s %7s %9s %9s %9s %9s | %8s %5s %7s %8s %8s %10s %10s %8s\n", "round", "seconds", "req/s",
                "retr/s", "errors", "freed", "first p50", "first p99", "compl p50", "compl p99", "contexts", "held",
                "threads", "RSS MiB", "trim MiB", "heap KiB", "heap +KiB", "settle s");
    // Round 0 warms up: glibc's arenas and cached thread stacks grow with the highest concurrency seen, over
    // the first rounds whatever the requests do, so resident memory is measured from round 1 on.
    for (int round = 0; !Stopping(); ++round) {
        if (options.minutes > 0 ? (round > 2 && Clock::now() >= soakEnd) : round > options.rounds) break;
        const auto start = Clock::now();
        std::vector<Tally> tallies(static_cast<size_t>(options.threads));
        std::vector<std::thread> threads;
        for (int t = 0; t < options.threads; ++t)
            threads.emplace_back([&, t] {
                Client client(host, work, 1000u * static_cast<unsigned>(round) + static_cast<unsigned>(t));
                client.Run(options.requests, t, tallies[static_cast<size_t>(t)]);
            });
        for (std::thread& thread : threads) thread.join();
        const double seconds = MsSince(start) / 1000;
        runSeconds += seconds;
        Tally tally;
        for (const Tally& one : tallies) tally.Add(one);

        // Settle: the abandoned requests expire a time to live after their last poll, at the collector's next
        // run; the queries of freed and expired ones end on their worker's next step.
        const auto settleStart = Clock::now();
        if (tally.lastAbandoned != Clock::time_point{}) {
            const auto expired = tally.lastAbandoned + std::chrono::seconds(ttlSec + kCollectorIntervalSec) +
                                 std::chrono::milliseconds(300);
            while (Clock::now() < expired && !Stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::string probeFailure;
        std::vector<GUID> pending = lingering;
        for (const Tally& one : tallies) pending.insert(pending.end(), one.tokens.begin(), one.tokens.end());
        const auto settleDeadline = Clock::now() + kSettleSlack;
        for (;;) {
            pending = StillRegistered(host, pending, probeFailure);
            if ((pending.empty() && queries->HeldQueries() == 0) || Clock::now() > settleDeadline || Stopping()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        lingering = pending;
        if (!probeFailure.empty()) tally.Error("a token could not be asked for", probeFailure);
        Reading reading;
        reading.contexts = lingering.size();
        reading.heldQueries = queries->HeldQueries();
        reading.settleSeconds = MsSince(settleStart) / 1000;
        ReadProcess(reading);
        total.Add(tally);
        const double heapDelta = readings.empty() ? 0 : (static_cast<double>(reading.heapInUse) -
                                                         static_cast<double>(readings.back().heapInUse)) / 1024.0;
        readings.push_back(reading);
        std::printf("%5d %7.1f %8.0f %7.0f %7lld %7lld %9.1f %9.1f %9.1f %9.1f | %8zu %5zu %7d %8.1f %8.1f %10.0f %10.1f %8.1f\n",
                    round, seconds, static_cast<double>(tally.calls) / seconds,
                    static_cast<double>(tally.retrieves) / seconds, static_cast<long long>(tally.errors),
                    static_cast<long long>(tally.freed), tally.firstMs.Quantile(0.5),
                    tally.firstMs.Quantile(0.99), tally.completeMs.Quantile(0.5),
                    tally.completeMs.Quantile(0.99), reading.contexts, reading.heldQueries, reading.threads,
                    Mib(reading.rssKb), Mib(reading.trimmedKb), static_cast<double>(reading.heapInUse) / 1024.0, heapDelta,
                    reading.settleSeconds);
        std::fflush(stdout);
    }

    std::printf("total: %lld retrieve requests (%lld complete, %lld freed, %lld abandoned), %lld other requests, %lld "
                "calls in %.1f s: %.1f requests/s; first answer with a result p50 %.1f ms p99 %.1f ms; complete "
                "answer p50 %.1f ms p99 %.1f ms\n",
                static_cast<long long>(total.retrieves), static_cast<long long>(total.completed),
                static_cast<long long>(total.freed), static_cast<long long>(total.abandoned),
                static_cast<long long>(total.others), static_cast<long long>(total.calls), runSeconds,
                runSeconds > 0 ? static_cast<double>(total.calls) / runSeconds : 0, total.firstMs.Quantile(0.5),
                total.firstMs.Quantile(0.99), total.completeMs.Quantile(0.5),
                total.completeMs.Quantile(0.99));
    std::printf("sub-results of complete answers: %lld by the fast method, %lld by the standard method; slowest complete "
                "answer %.0f ms (%s)\n",
                static_cast<long long>(total.fastResults), static_cast<long long>(total.standardResults), total.slowestMs,
                total.slowest.empty() ? "none" : total.slowest.c_str());
    if (Stopping()) {
        std::printf("interrupted: nothing checked\n");
        host.Stop();
        return 128 + g_signal.load();
    }
    if (total.errors) {
        std::printf("FAILED: %lld lost requests or wrong answers:\n", static_cast<long long>(total.errors));
        PrintErrors(total);
        code = kExitFailed;
    }
    for (size_t i = 0; i < readings.size(); ++i) {
        const Reading& now = readings[i];
        const int round = static_cast<int>(i);
        if (now.contexts > 0 || now.heldQueries > 0) {
            std::printf("FAILED: after round %d, %zu live contexts and %zu held queries were left (%.0f s after the "
                        "round)\n",
                        round, now.contexts, now.heldQueries, now.settleSeconds);
            code = kExitFailed;
        }
        if (i > 0 && now.threads > readings[i - 1].threads) {
            std::printf("FAILED: threads grew from %d to %d in round %d\n", readings[i - 1].threads, now.threads, round);
            code = kExitFailed;
        }
    }
    if (readings.size() >= 3) {
        const Reading& first = readings[1];
        const auto peak = std::max_element(readings.begin() + 1, readings.end(),
                                           [](const Reading& a, const Reading& b) { return a.trimmedKb < b.trimmedKb; });
        const double growth =
            100.0 * static_cast<double>(peak->trimmedKb - first.trimmedKb) / static_cast<double>(first.trimmedKb);
        const auto held = std::max_element(readings.begin() + 1, readings.end(),
                                           [](const Reading& a, const Reading& b) { return a.rssKb < b.rssKb; });
        bool ok = growth <= options.rssGrowthPct;
        const char* verdict = ok ? "ok" : "EXCEEDED";
#ifdef CORVANE_SOAK_SANITIZED
        ok = true;
        verdict = "not checked";
#endif
        const double perRound = static_cast<double>(readings.back().heapInUse) - static_cast<double>(first.heapInUse);
        std::printf("resident memory once free pages are given back: round 1 %.1f MiB, highest %.1f MiB (round %d), "
                    "%+.1f%% (bound %.0f%%: %s)%s; as held: round 1 %.1f MiB, highest %.1f MiB (round %d); heap in use "
                    "%+.1f KiB from round 1 to the last (%+.2f KiB a round)\n",
                    Mib(first.trimmedKb), Mib(peak->trimmedKb), static_cast<int>(peak - readings.begin()), growth,
                    options.rssGrowthPct, verdict, sanitized, Mib(first.rssKb), Mib(held->rssKb),
                    static_cast<int>(held - readings.begin()), perRound / 1024.0,
                    perRound / 1024.0 / static_cast<double>(readings.size() - 2));
        if (!ok) {
            std::printf("FAILED: resident memory grew %.1f%% over round 1, beyond the bound of %.0f%%\n", growth,
                        options.rssGrowthPct);
            code = kExitFailed;
        }
    }
    const auto stopStart = Clock::now();
    host.Stop();
    if (!logs.empty()) {
        std::error_code ignored;
        std::printf("logs in %s:", logs.c_str());
        for (const auto& entry : fs::directory_iterator(logs, ignored))
            std::printf(" %s %.0f MiB", entry.path().filename().c_str(), static_cast<double>(entry.file_size(ignored)) / 1048576.0);
        std::printf("\n");
    }
    std::printf("host stopped in %.0f ms; %s\n", MsSince(stopStart), code == 0 ? "clean" : "FAILED");
    std::fflush(stdout);
    return Stopping() ? 128 + g_signal.load() : code;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    const std::optional<Options> options = ParseOptions(argc, argv, why);
    if (!options) return Usage(why);
    // glibc gives threads arenas of their own up to eight a core, and the module runs each sub-request on a thread
    // of its own: the pages that live blocks pin spread over all of them, so resident memory creeps up for tens
    // of rounds before it levels off, hiding a leak. Set before any thread starts.
    if (options->arenas > 0) mallopt(M_ARENA_MAX, options->arenas);
    WatchSignals();
    try {
        return Run(*options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
        return Stopping() ? 128 + g_signal.load() : kExitSetup;
    }
}
