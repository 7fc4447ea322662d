// The default dashboard (config/dashboard.xml) through the real module in this
// process, as `corvane-host request` sends it, on 1M and 10M generated and
// aggregated records: for the fast method (RetrieveMethod 1) and the standard
// one (2), the time to the first answer carrying a result and to the complete
// answer, against the statements the queries processor ran for it, each run
// directly on a connection of its own to the same file in the same run. Then
// N clients running the dashboard at once through one module, at the shipped
// configuration.
//
//   dashboard_bench [--quick] [--rounds N] [--clients N] [--seconds S] [--data-dir DIR] [--verbose]
//
// The databases are generated once into DIR (default build/bench-data) and
// reused: each is made in a temporary folder renamed when complete.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFolders.h"
#include "bench/BenchSupport.h"
#include "common/ErrorHandling/ResultCodes.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/ModuleLoader.h"
#include "host/main/RequestRunner.h"
#include "host/reporting/metrics/CountersQuery.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/storage/Schema.h"

#ifndef CORVANE_BENCH_DATA_DIR
#define CORVANE_BENCH_DATA_DIR "bench-data"
#endif

namespace {

using namespace cvn;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kDashboardTimeout = std::chrono::minutes(10);  // the standard method on 10M records takes minutes

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

struct Options {
    bool quick = false;
    int rounds = 5;
    int clients = 16;
    double seconds = 10;
    bool verbose = false;
    std::string dataDir = CORVANE_BENCH_DATA_DIR;
};

int Usage(const char* why)
{
    std::fprintf(stderr,
                 "dashboard_bench: %s\nusage: dashboard_bench [--quick] [--rounds N] [--clients N] [--seconds S] "
                 "[--data-dir DIR] [--verbose]\n  --quick       1M records only (else 1M and 10M)\n  --rounds N    timed "
                 "dashboards per method (default 5)\n  --clients N   concurrent clients on 1M records (default 16; 0: "
                 "none)\n  --seconds S   how long the clients run (default 10)\n  --data-dir    where the generated "
                 "databases are kept (default " CORVANE_BENCH_DATA_DIR ")\n  --verbose     each direct statement's time and SQL\n",
                 why);
    return 2;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const auto number = [&](double low, double high, double& out) {
            const char* text = value();
            if (!text) return false;
            char* end = nullptr;
            out = std::strtod(text, &end);
            return end && *end == '\0' && out >= low && out <= high;
        };
        double n = 0;
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--rounds") {
            if (!number(1, 1000, n)) return false;
            options.rounds = static_cast<int>(n);
        } else if (arg == "--clients") {
            if (!number(0, 256, n)) return false;
            options.clients = static_cast<int>(n);
        } else if (arg == "--seconds") {
            if (!number(0.1, 3600, n)) return false;
            options.seconds = n;
        } else if (arg == "--data-dir") {
            const char* text = value();
            if (!text || !*text) return false;
            options.dataDir = text;
        } else {
            return false;
        }
    }
    return true;
}

std::string Label(int64_t records) { return records % 1000000 == 0 ? std::to_string(records / 1000000) + "M" : std::to_string(records); }

hostmain::HostOptions HostOptionsFor(const std::string& dataDirectory)
{
    return {.configFile = hostmain::ExecutableDirectory() + "/config/host.cfg.xml", .dataDirectory = dataDirectory};
}

/// The data directory with `records` sample records, aggregated: made once, then reused.
std::string EnsureData(const Options& options, int64_t records)
{
    const fs::path root = fs::absolute(options.dataDir);
    fs::create_directories(root);
    const fs::path done = root / ("records-" + Label(records));
    if (fs::exists(done)) return done.string();  // renamed into place only when complete
    const std::string prefix = done.filename().string() + ".tmp-";
    bench::RemoveAbandoned(root, prefix);
    const fs::path temporary = root / (prefix + std::to_string(getpid()));
    fs::remove_all(temporary);
    std::printf("generating %s records into %s (once; later runs reuse it) ...\n", Label(records).c_str(),
                done.string().c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    try {
        hostmain::HostRuntime host;
        host.StartServices(HostOptionsFor(temporary.string()));
        hostmain::CommandOptions command;
        command.records = records;
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


struct Dashboard {
    double firstMs = -1;     ///< the first answer with a result
    double completeMs = -1;  ///< the answer with status 1
    bool complete = false;
    int busy = 0;            ///< sub-responses answered 0x80040C0B
    int failed = 0;          ///< other failed sub-responses, or the whole answer
    std::set<int32_t> methods;
    std::string failure;
};

/// Sends the request and polls its cookie to the end, as `corvane-host request` does.
Dashboard RunDashboard(hostmain::HostRuntime& host, const QxNodePtr& request)
{
    Dashboard result;
    const auto start = Clock::now();
    QxNodePtr answer = host.Process(request);
    const QxNodePtr cookie = answer.GetChild("RetrieveCookie", false);
    if (!cookie || hostmain::ResultCodeOf(answer) != 0) {
        result.failed = 1;
        result.failure = hostmain::FailureOf(answer);
        return result;
    }
    const QxNodePtr poll = QxNodePtr::Create(request.GetName(), request.GetType());
    poll.SetAttribute("PartialResult", true);
    const QxNodePtr pollCookie = QxNodePtr::Create("RetrieveCookie");
    pollCookie.SetAttribute("Token", cookie.GetRequiredAttribute<GUID>("Token"));
    poll.AddChild(pollCookie);
    for (;;) {
        answer = host.Process(poll);
        const double ms = MsSince(start);
        const int32_t status = hostmain::RetrieveStatusOf(answer);
        if (result.firstMs < 0) {
            for (const QxNodePtr& sub : answer.GetChildren())
                if (sub.GetType() == "RetrieveCountersSubResponse" && hostmain::RetrieveStatusOf(sub) == 1) {
                    result.firstMs = ms;
                    break;
                }
        }
        if (status != 0 || hostmain::ResultCodeOf(answer) != 0) {
            result.completeMs = ms;
            break;
        }
        if (Clock::now() - start > kDashboardTimeout) {
            const QxNodePtr free = QxNodePtr::Create(request.GetName(), "FreeCookieRequest");
            free.AddChild(pollCookie.Clone());
            host.Process(free);
            result.failed = 1;
            result.failure = "no complete answer within the timeout";
            return result;
        }
    }
    for (const QxNodePtr& sub : answer.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        if (hostmain::RetrieveStatusOf(sub) == 1) {
            if (const QxNodePtr meta = sub.GetChild("MetaInfo", false))
                result.methods.insert(meta.GetAttributeOr<int32_t>("RetrieveMethod", 0));
        } else if (static_cast<uint32_t>(hostmain::ResultCodeOf(sub)) == static_cast<uint32_t>(kHrDatabaseBusy)) {
            ++result.busy;
        } else {
            ++result.failed;
        }
    }
    result.complete = hostmain::RetrieveStatusOf(answer) == 1 && hostmain::ResultCodeOf(answer) == 0 &&
                      result.busy == 0 && result.failed == 0;
    if (!result.complete) {
        if (result.failed == 0 && result.busy == 0) result.failed = 1;
        result.failure = hostmain::FailureOf(answer);
    }
    return result;
}

/// The statements the queries processor made of one dashboard's queries, translated as it translates
/// them, each timed on a connection of its own: the median of each over the rounds.
struct Direct {
    size_t statements = 0;
    double slowestMs = 0;
    double sumMs = 0;
    int workers = 1;
    double onWorkersMs = 0;  ///< all of them on as many threads as the processor has workers, in order
};

Direct RunDirectly(hostmain::HostRuntime& host, const std::vector<QxNodePtr>& queries, int rounds, bool verbose)
{
    const reporting::StorageSettings storage = host.Storage();
    const QxNodePtr templates = host.Config().queriesProcessor.GetChild("QueryTemplates");
    const QxNodePtr metrics = host.ReadStore(reporting::kMetricsConfigurationPath);
    std::vector<std::unique_ptr<reporting::IConnection>> connections;
    std::vector<reporting::TranslatedQuery> statements;
    {
        const auto probe = reporting::OpenStorage(storage);
        const reporting::QueryTranslator translator(templates, probe->Dialect());
        const reporting::CountersQueryTranslator counters(translator, metrics);
        const reporting::CountersCoverage coverage = reporting::ReadCountersCoverage(*probe);
        for (const QxNodePtr& query : queries) {
            statements.push_back(counters.Serves(query) ? counters.Translate(query, coverage) : translator.Translate(query));
            connections.push_back(reporting::OpenStorage(storage));
        }
    }
    Direct direct;
    direct.statements = statements.size();
    for (size_t i = 0; i < statements.size(); ++i) {
        bench::RunDirect(*connections[i], statements[i]);  // warm, as the workers' connections are
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            const auto start = Clock::now();
            bench::RunDirect(*connections[i], statements[i]);
            times.push_back(MsSince(start));
        }
        const double median = bench::Quantile(times, 0.5);
        direct.slowestMs = std::max(direct.slowestMs, median);
        direct.sumMs += median;
        if (verbose)
            std::printf("       %8.2f ms  %s: %.400s\n", median, queries[i].GetName().c_str(), statements[i].sql.c_str());
    }
    // The floor for the whole dashboard: its statements share the processor's workers, as here.
    direct.workers = host.Config().queriesProcessor.GetAttributeOr<int32_t>("Workers", 2);
    std::vector<double> together;
    for (int round = 0; round < rounds; ++round) {
        std::atomic<size_t> next{0};
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int worker = 0; worker < direct.workers; ++worker)
            threads.emplace_back([&] {
                for (size_t i = next++; i < statements.size(); i = next++) bench::RunDirect(*connections[i], statements[i]);
            });
        for (std::thread& thread : threads) thread.join();
        together.push_back(MsSince(start));
    }
    direct.onWorkersMs = bench::Quantile(together, 0.5);
    return direct;
}

QxNodePtr DashboardRequest(const hostmain::HostRuntime& host, int method)
{
    const QxNodePtr request = QxNodePtr::Parse(hostmain::ReadTextFile(host.Config().demoRequestFile));
    if (method != 0) request.SetAttribute("RetrieveMethod", int32_t{method});
    return request;
}

const char* Verdict(bool met) { return met ? "ok" : "MISSED"; }

/// One line: the timed rounds of one method against its statements run directly. False on a failure.
bool MeasureMethod(hostmain::HostRuntime& host, bench::RecordingProcessor& recorder, int64_t records, int method,
                   const Options& options)
{
    const int rounds = options.rounds;
    const QxNodePtr request = DashboardRequest(host, method);
    const Dashboard warm = RunDashboard(host, request);  // warms the cache, the connections, the stale records check
    if (!warm.complete) {
        std::printf("%-4s %-8s FAILED: %s\n", Label(records).c_str(), method == 1 ? "fast" : "standard", warm.failure.c_str());
        return false;
    }
    std::vector<double> first, complete;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        // The last round's queries are the ones run directly: what a warm dashboard asks for.
        recorder.Take();
        recorder.Record(round == rounds - 1);
        const Dashboard run = RunDashboard(host, request);
        ok = run.complete && run.methods == std::set<int32_t>{method};
        if (!ok)
            std::printf("%-4s %-8s FAILED: %s\n", Label(records).c_str(), method == 1 ? "fast" : "standard",
                        run.complete ? "a sub-request used another method" : run.failure.c_str());
        first.push_back(run.firstMs);
        complete.push_back(run.completeMs);
    }
    recorder.Record(false);
    if (!ok) return false;
    const Direct direct = RunDirectly(host, recorder.Take(), rounds, options.verbose);
    const double firstMs = bench::Quantile(first, 0.5), completeMs = bench::Quantile(complete, 0.5);
    const double ratio = direct.slowestMs > 0 ? completeMs / direct.slowestMs : 0;
    const double goal = method == 1 ? 1.2 : 1.1;
    std::printf("%-4s %-8s first %8.2f ms  complete %8.2f ms | direct: %zu statements, slowest %8.2f ms, sum %8.2f ms | "
                "complete/slowest %5.2f (goal <= %.1f: %s)",
                Label(records).c_str(), method == 1 ? "fast" : "standard", firstMs, completeMs, direct.statements,
                direct.slowestMs, direct.sumMs, ratio, goal, Verdict(ratio <= goal));
    if (method == 1 && records >= 10000000) std::printf(", complete < 50 ms: %s", Verdict(completeMs < 50));
    std::printf(" | all on %d threads %8.2f ms, complete/that %5.2f\n", direct.workers, direct.onWorkersMs,
                direct.onWorkersMs > 0 ? completeMs / direct.onWorkersMs : 0);
    std::fflush(stdout);
    return true;
}

/// N clients, each running the unforced dashboard again and again for the given time through one module.
bool MeasureClients(hostmain::HostRuntime& host, int64_t records, int clients, double seconds)
{
    const QxNodePtr text = DashboardRequest(host, 0);
    const std::string requestText = text.ToText();
    std::mutex lock;
    std::vector<double> complete;
    int busy = 0, failed = 0, dashboards = 0;
    std::set<int32_t> methods;
    std::string failure;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            const QxNodePtr request = QxNodePtr::Parse(requestText);
            while (Clock::now() < deadline) {
                Dashboard run;
                try {
                    run = RunDashboard(host, request);
                } catch (const std::exception& error) {
                    run.failed = 1;
                    run.failure = error.what();
                }
                std::lock_guard guard(lock);
                ++dashboards;
                busy += run.busy;
                failed += run.failed;
                methods.insert(run.methods.begin(), run.methods.end());
                if (run.complete)
                    complete.push_back(run.completeMs);
                else if (failure.empty())
                    failure = run.failure;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double wall = MsSince(start) / 1000;
    const char* chosen = methods == std::set<int32_t>{1} ? "fast" : methods == std::set<int32_t>{2} ? "standard" : "mixed";
    std::printf("%-4s %d clients (%s), %.1f s: %zu complete dashboards of %d, %.1f per second, complete p50 %.1f ms p99 %.1f ms | "
                "0x80040C0B sub-responses: %d (goal 0: %s), other failures: %d\n",
                Label(records).c_str(), clients, chosen, wall, complete.size(), dashboards,
                static_cast<double>(complete.size()) / wall, bench::Quantile(complete, 0.5), bench::Quantile(complete, 0.99),
                busy, Verdict(busy == 0), failed);
    if (!failure.empty()) std::printf("     first failure: %s\n", failure.c_str());
    std::fflush(stdout);
    return failed == 0;
}

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

/// Starts the host on the data directory with a recorder in front of the queries processor.
bool RunSize(const Options& options, int64_t records)
{
    const std::string directory = EnsureData(options, records);
    hostmain::HostRuntime host;
    host.StartServices(HostOptionsFor(directory));
    std::ostringstream ignored;
    hostmain::AggregateMetrics(host, ignored);  // takes in what was added since; nothing, normally
    hostmain::SwitchFastMethodOn(host);         // before the module starts, which reads it at once

    host::CServiceClient& client = *host.ServiceClient();
    const std::string uri = host.Config().queriesProcessor.GetAttributeOr("Uri", "Service.QueriesProcessor");
    ComPtr<IRequestProcessor> processor;
    if (client.CreateProxy(ToUtf16(uri).c_str(), 0, &IRequestProcessor::kIid, processor.PutVoid()) < 0 || !processor)
        throw hostmain::HostError("the queries processor is not registered under '" + uri + "'");
    const auto recorder = CreateComponent<bench::RecordingProcessor>(processor, false);
    client.UnregisterService(uri);
    client.RegisterService(uri, static_cast<IRequestProcessor*>(recorder.Get()));
    host.StartModule();

    const int64_t count = hostmain::CountRecords(host.Storage());
    if (count != records) std::printf("%s: the database holds %lld records\n", directory.c_str(), static_cast<long long>(count));
    // The records end at their generation; the dashboard's range ends now.
    const int64_t age = (static_cast<int64_t>(std::time(nullptr)) - NewestRecord(host.Storage())) / 86400;
    if (age >= 1)
        std::printf("%s is %lld days old: fewer of its records fall in the dashboard's range; remove it to make it anew\n",
                    directory.c_str(), static_cast<long long>(age));
    bool ok = MeasureMethod(host, *recorder, records, 1, options);
    ok = MeasureMethod(host, *recorder, records, 2, options) && ok;
    if (records == 1000000 && options.clients > 0) ok = MeasureClients(host, records, options.clients, options.seconds) && ok;
    host.Stop();
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) return Usage("bad arguments");
    // The module's log goes beside the databases, not into one of them.
    fs::create_directories(options.dataDir);
    setenv("GS_General_DataDirectoryPath", fs::absolute(options.dataDir).c_str(), 0);
    std::printf("dashboard: %s, %d timed rounds per method, medians; direct = each statement the queries processor ran, "
                "on its own connection\n",
                (hostmain::ExecutableDirectory() + "/config/dashboard.xml").c_str(), options.rounds);
    bool ok = true;
    try {
        for (const int64_t records : options.quick ? std::vector<int64_t>{1000000} : std::vector<int64_t>{1000000, 10000000})
            ok = RunSize(options, records) && ok;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dashboard_bench: %s\n", error.what());
        return 3;
    }
    return ok ? 0 : 1;
}
