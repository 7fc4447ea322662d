// The module's own log file.
#include "common/Logging/ModuleLog.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/Logging/FileLogger.h"
#include "common/Logging/LogManager.h"
#include "common/Logging/ModuleLogTestHooks.h"
#include "common/Settings/ModuleFile.h"
#include "platform/os/Process.h"

namespace cvn::log {
namespace {

std::mutex g_lock;
std::atomic<bool> g_initialised{false};
// Never destroyed: lines written during process exit must still find the sink.
FileLogger* g_sink = nullptr;

void CreateSink()
{
    const std::string modulePath = ModuleFilePath();
    auto sink = std::make_unique<FileLogger>(
        ModuleBaseName() + ".log",
        BuildBanner(modulePath, ModuleBaseAddress(), os::ExecutablePath(), os::ProcessId(), os::CommandLine()));
    if (LogManager::Instance().Register(sink.get())) g_sink = sink.release();
}

}  // namespace

std::string BuildBanner(const std::string& modulePath, const void* baseAddress, const std::string& processPath,
                        uint32_t processId, const std::string& commandLine)
{
    const std::string stars(100, '*');
    char middle[256];
    std::snprintf(middle, sizeof middle, "*** Version: %d.%d.%d.%d\r\n*** Module description: %s\r\n",
                  CORVANE_VERSION_MAJOR, CORVANE_VERSION_MINOR, CORVANE_VERSION_PATCH, CORVANE_VERSION_TWEAK,
                  "Corvane64");
    char base[64];
    std::snprintf(base, sizeof base, " (Base: 0x%016" PRIXPTR ")\r\n", reinterpret_cast<uintptr_t>(baseAddress));
    return stars + "\r\n*** Module: " + modulePath + base + middle + "*** Process: " + processPath +
           " (Pid: " + std::to_string(processId) + ")\r\n*** Command line: " + commandLine + "\r\n" + stars + "\r\n";
}

void EnsureModuleLog() noexcept
{
    if (g_initialised.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_initialised.load(std::memory_order_relaxed)) return;
    try {
        CreateSink();
    } catch (...) {
        // No module log: lines still reach other sinks.
    }
    g_initialised.store(true, std::memory_order_release);
}

FileLogger* ModuleLogSink() noexcept
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_sink;
}

void ResetModuleLogForTests(bool recreate)
{
    std::lock_guard<std::mutex> guard(g_lock);
    delete g_sink;  // unregisters itself
    g_sink = nullptr;
    if (recreate) CreateSink();
    g_initialised.store(true, std::memory_order_release);
}

}  // namespace cvn::log
