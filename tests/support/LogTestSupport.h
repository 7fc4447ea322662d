// Test support for settings and logging: settings from a map, a clock the test moves, the registry stand-in
// pointed at a folder and a capture of the debug output. LogTestScope puts them in
// place and restores the process state on destruction.
#pragma once

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/Helpers/Clock.h"
#include "common/Logging/LogManager.h"
#include "common/Logging/LogSink.h"
#include "common/Logging/Logger.h"
#include "common/Logging/ModuleLog.h"
#include "common/Logging/ModuleLogTestHooks.h"
#include "common/Logging/NodeText.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "common/Settings/DataDirectory.h"
#include "common/Settings/ModuleFile.h"
#include "common/Settings/ModuleFileTestHooks.h"
#include "common/Settings/SettingsStore.h"
#include "platform/os/DebugOutput.h"
#include "platform/os/RegistryStandIn.h"
#include "tests/support/ServiceTestSupport.h"
#include "tests/support/TestBasics.h"

namespace cvn::test {

class MapSettingsSource final : public ISettingsSource {
public:
    explicit MapSettingsSource(std::map<std::string, std::string> values) : m_values(std::move(values)) {}
    HRESULT Get(std::string_view section, std::string_view key, std::string& value) const override
    {
        const auto found = m_values.find(std::string(section) + "/" + std::string(key));
        if (found == m_values.end()) return kHrNotFound;
        value = found->second;
        return S_OK;
    }

private:
    std::map<std::string, std::string> m_values;
};

// A clock the test moves by hand.
struct FakeClock final : IClock {
    static inline std::atomic<uint64_t> fileTime{133000000000000000ull};  // wall time, 100-ns units since 1601
    static inline std::atomic<uint64_t> tickMs{1000};                    // steady time: tickMs plus counter
    static inline std::atomic<int64_t> counter{0};                       // 100-ns ticks
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    SystemTimePoint System() const noexcept override
    {
        return SystemTimePoint(std::chrono::duration_cast<SystemTimePoint::duration>(
            Ticks(static_cast<int64_t>(fileTime.load()) - 116444736000000000ll)));
    }
    SteadyTimePoint Steady() const noexcept override
    {
        return SteadyTimePoint(std::chrono::milliseconds(tickMs.load()) +
                               std::chrono::duration_cast<SteadyTimePoint::duration>(Ticks(counter.load())));
    }
    // Nothing here sleeps on it: a sleeper waits for its stop only.
    void SleepUntil(SteadyTimePoint, const std::atomic<bool>& stop) const override
    {
        RealClock().SleepUntil(SteadyTimePoint::max(), stop);
    }
    void Wake() const noexcept override { RealClock().Wake(); }
};

/// Registry keys read from "<root>/<hive>/<key>.reg" files while it lives.
struct RegistryScope {
    explicit RegistryScope(const std::string& root) { os::SetRegistryRoot(root); }
    ~RegistryScope() { os::SetRegistryRoot(""); }
};

class LogTestScope {
public:
    LogTestScope(std::initializer_list<std::pair<const std::string, std::string>> settings = {})
    {
        log::ResetModuleLogForTests(false);
        SetSettings(settings);
        InstallClock(&m_clock);
        os::SetDebugOutputCapture([this](const std::string& line) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_debug.push_back(line);
        });
        log::LogManager::Instance().Register(&sink);
    }
    LogTestScope(const LogTestScope&) = delete;
    LogTestScope& operator=(const LogTestScope&) = delete;
    ~LogTestScope()
    {
        log::LogManager::Instance().Unregister(&sink);
        os::SetDebugOutputCapture({});
        InstallClock(nullptr);
        SetModuleFilePathForTests("");
        SettingsStore::Global().ResetSources(SettingsStore::DefaultSources());
        Refresh();
    }

    void SetSettings(std::map<std::string, std::string> settings)
    {
        SettingsStore::Global().ResetSources({std::make_shared<MapSettingsSource>(std::move(settings))});
        Refresh();
    }
    std::vector<std::string> DebugLines()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_debug;
    }

    LogCapture sink{false};  // registered once the settings and the clock are in place

private:
    static void Refresh()
    {
        log::Logger::Instance().Invalidate();
    }

    FakeClock m_clock;
    std::mutex m_lock;
    std::vector<std::string> m_debug;
};

/// UTF-16LE bytes back to UTF-8.
inline std::string FromUtf16Le(const std::string& bytes)
{
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    return ToUtf8(units);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

}  // namespace cvn::test
