// Lines per second of the module's file sink against spdlog's synchronous file
// sink that flushes every line, on the same mix of lines in the same run: a
// request of three nested tracing scopes and one "failed:" line (7 lines).
// Source locations and debug lines must not be compiled out of the reference.
// The ratio compares the median CPU time of five repetitions of each, so that
// other work on a shared machine, which stretches wall time in bursts, weighs
// less; the writes' system calls count as CPU time on both sides.
// Also the cost of a line above MaxSeverity, against the check it replaced (an
// out-of-line call that read the clock to see whether the settings were stale).
#define SPDLOG_ACTIVE_LEVEL SPDLOG_LEVEL_TRACE
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/MedianReporter.h"
#include "common/Logging/FileLogger.h"
#include "common/Logging/Log.h"
#include "common/Logging/LogManager.h"
#include "common/Logging/Logger.h"
#include "common/Logging/ModuleLog.h"
#include "common/Logging/ModuleLogTestHooks.h"
#include "common/Settings/SettingsStore.h"

namespace {

constexpr int kLinesPerRequest = 7;
constexpr double kGoal = 0.9;

std::string BenchFile(const char* name)
{
    const auto path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove(path);
    return path.string();
}

void CorvaneStep(int depth)
{
    static const char* const kNames[] = {"Corvane::CCorvaneGate::ProcessRequest",
                                         "Corvane::CRetrieveCountersContext::Poll",
                                         "Corvane::CDataRetriever::GetResult"};
    CV_TRACE(Dbg, kNames[depth]);
    if (depth < 2) {
        CorvaneStep(depth + 1);
    } else {
        CV_LOG(Err, "Corvane::CDataRetriever::GetResult failed: 0x80040C0B The reporting database is busy. [0x"
                        << static_cast<uint64_t>(0x7F3A12345678) << "]");
    }
}

void BM_CorvaneFileSink(benchmark::State& state)
{
    cvn::SettingsStore::Global().ResetSources({});  // defaults: DBG, keep open 5000 ms
    cvn::log::Logger::Instance().Invalidate();
    cvn::log::ResetModuleLogForTests(false);
    const std::string path = BenchFile("corvane-bench.log");
    cvn::log::FileLogger sink(path, "banner\r\n");
    cvn::log::LogManager::Instance().Register(&sink);
    for (auto _ : state) CorvaneStep(0);
    cvn::log::LogManager::Instance().Unregister(&sink);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLinesPerRequest,
                                                   benchmark::Counter::kIsRate);
    std::filesystem::remove(path);
}

std::shared_ptr<spdlog::logger> g_spdlog;

void SpdlogStep(int depth)
{
    static const char* const kNames[] = {"Corvane::CCorvaneGate::ProcessRequest",
                                         "Corvane::CRetrieveCountersContext::Poll",
                                         "Corvane::CDataRetriever::GetResult"};
    const auto start = std::chrono::steady_clock::now();
    SPDLOG_LOGGER_DEBUG(g_spdlog, "{:{}}Entering: {}", "", depth * 2, kNames[depth]);
    if (depth < 2) {
        SpdlogStep(depth + 1);
    } else {
        SPDLOG_LOGGER_ERROR(g_spdlog,
                            "{:{}}Corvane::CDataRetriever::GetResult failed: 0x80040C0B The reporting database is "
                            "busy. [0x{}]",
                            "", depth * 2 + 2, uint64_t(0x7F3A12345678));
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    SPDLOG_LOGGER_DEBUG(g_spdlog, "{:{}}Exiting: {} [{:.3f} ms]", "", depth * 2, kNames[depth], ms);
}

void BM_SpdlogFileSink(benchmark::State& state)
{
    const std::string path = BenchFile("spdlog-bench.log");
    g_spdlog = spdlog::basic_logger_mt("bench", path, true);
    g_spdlog->set_pattern("%Y-%m-%d %H:%M:%S.%F | %-4!l | %5P %5t | %-30s:%# | %v");
    g_spdlog->set_level(spdlog::level::debug);
    g_spdlog->flush_on(spdlog::level::trace);  // every line reaches the file, as ours does
    for (auto _ : state) SpdlogStep(0);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLinesPerRequest,
                                                   benchmark::Counter::kIsRate);
    spdlog::drop("bench");
    g_spdlog.reset();
    std::filesystem::remove(path);
}

// The former check: an out-of-line call that asks the logger, which reads the clock first (the
// process clock's steady time now; the line that may be written still pays this).
[[gnu::noinline]] bool FormerIsEnabled(cvn::log::Severity severity) noexcept
{
    const uint32_t value = static_cast<uint32_t>(severity);
    return value >= 1 && value <= cvn::log::Logger::Instance().MaxSeverity();
}

void DisabledSetup()
{
    cvn::SettingsStore::Global().ResetSources({});  // defaults: DBG, so DBG3 is off
    cvn::log::Logger::Instance().Invalidate();
    cvn::log::IsEnabled(cvn::log::Severity::Err);  // reads the settings once
}

void BM_DisabledLine(benchmark::State& state)
{
    DisabledSetup();
    uint64_t value = 0;
    for (auto _ : state) {
        CV_LOG(Dbg3, "value " << value);
        benchmark::DoNotOptimize(++value);
    }
}

void BM_DisabledLineFormerCheck(benchmark::State& state)
{
    DisabledSetup();
    uint64_t value = 0;
    for (auto _ : state) {
        if (FormerIsEnabled(cvn::log::Severity::Dbg3)) CV_LOG(Dbg3, "value " << value);
        benchmark::DoNotOptimize(++value);
    }
}

// The ratio of the sinks' median CPU times per request.
void PrintRatio(const cvn::bench::MedianReporter& reporter)
{
    const std::optional<double> ours = reporter.Median("BM_CorvaneFileSink");
    const std::optional<double> theirs = reporter.Median("BM_SpdlogFileSink");
    if (!ours || !theirs) return;
    const double perSecond = 1e9 * kLinesPerRequest;  // times are in ns per request
    const double ratio = *theirs / *ours;
    std::printf("corvane/spdlog lines per second (median CPU time): %.0f / %.0f = %.2f (goal: at least %.2f: %s)\n",
                perSecond / *ours, perSecond / *theirs, ratio, kGoal, ratio >= kGoal ? "met" : "MISSED");
}

BENCHMARK(BM_DisabledLine);
BENCHMARK(BM_DisabledLineFormerCheck);
BENCHMARK(BM_SpdlogFileSink)->MinTime(0.5)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_CorvaneFileSink)->MinTime(0.5)->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv)
{
    // Repetitions of the two sinks alternate in random order, so a burst of other work falls on both.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    cvn::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatio(reporter);
    benchmark::Shutdown();
    return 0;
}
