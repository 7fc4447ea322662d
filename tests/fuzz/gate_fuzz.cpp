// Request documents in the node text form through the module's export, as
// corvane-host sends them: the host runtime in this process (module loaded with
// dlopen, reached through GetComponentsModuleObject), the real queries processor
// on a small SQLite sample made once in a temporary folder. Every top-level
// node that parses is processed. Each answer carries a 32-bit ResultCode, a
// failure also its ErrorSerialized (which starts with the code); a cookie that
// comes back is polled to the end within a bound, freed, and is gone after.
// Every few inputs nothing may be left: no query held, queued or polled at the
// queries processor, no thread or file descriptor more than after start-up.
#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Helpers/PrimitiveText.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Nodestore.h"
#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/HostRuntime.h"
#include "host/reporting/query/QueryValues.h"

namespace {

using namespace cvn;

constexpr uint64_t kMaxDocuments = 4;   // top-level nodes processed per input; the rest only parse
constexpr int kMaxPolls = 40;           // complete polls of one cookie before it counts as hung
constexpr auto kCallBound = std::chrono::seconds(8);  // one request through the gate
constexpr uint64_t kCheckEvery = 32;    // inputs between the leak checks
// libFuzzer's own, made after start-up: its memory watch thread, and the two pipes to the symbolizer
// that names a newly covered function.
constexpr long kSlack = 2;
constexpr int32_t kNotFound = static_cast<int32_t>(0x80070490);

[[noreturn]] void Fail(const std::string& what, const QxNodePtr& node = nullptr)
{
    std::fprintf(stderr, "gate: %s\n", what.c_str());
    if (node) {
        try {
            std::fprintf(stderr, "%s\n", node.ToText().c_str());
        } catch (...) {
        }
    }
    std::abort();
}

void Check(bool condition, const std::string& what, const QxNodePtr& node = nullptr)
{
    if (!condition) Fail(what, node);
}

// Aborts when a request through the gate takes longer than kCallBound: a hang is a finding, and
// libFuzzer's own timeout would not say which call it was.
class Watchdog {
public:
    Watchdog()
        : m_thread([this] {
              std::unique_lock lock(m_lock);
              while (!m_stop) {
                  if (!m_armed) {
                      m_wake.wait(lock);
                      continue;
                  }
                  if (m_wake.wait_until(lock, m_deadline) == std::cv_status::timeout && m_armed &&
                      std::chrono::steady_clock::now() >= m_deadline)
                      Fail("no answer within " + std::to_string(kCallBound.count()) + " s to:\n" + m_what);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    void Arm(std::string what)
    {
        std::lock_guard lock(m_lock);
        m_what = std::move(what);
        m_deadline = std::chrono::steady_clock::now() + kCallBound;
        m_armed = true;
        m_wake.notify_all();
    }
    void Disarm()
    {
        std::lock_guard lock(m_lock);
        m_armed = false;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_armed = false;
    bool m_stop = false;
    std::chrono::steady_clock::time_point m_deadline;
    std::string m_what;
    std::thread m_thread;  // last: starts once the rest is made
};

long CountEntries(const char* directory)
{
    DIR* dir = opendir(directory);
    if (!dir) return -1;
    long count = 0;
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    Check(file.good(), "cannot write " + path);
}

struct Harness {
    std::string folder;
    hostmain::HostRuntime host;
    Watchdog watchdog;
    uint64_t inputs = 0;
    long threads = 0;
    long descriptors = 0;

    Harness()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvane-fuzz-gate-XXXXXX").string();
        Check(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary folder");
        folder = pattern;
        // Quiet: no log file grows per input, and the module's data directory is ours.
        setenv("GS_Logger_MaxSeverity", "NONE", 1);
        setenv("GS_General_DataDirectoryPath", (folder + "/data").c_str(), 1);

        const std::string shipped = CORVANE_BIN_DIR "/config/";
        const std::string config = folder + "/config/";
        std::filesystem::create_directories(config);
        WriteFile(config + "config-store.xml", ReadFile(shipped + "config-store.xml"));
        std::string hostConfig = ReadFile(shipped + "host.cfg.xml");
        // The module from this build; at most 16 sub-requests a request, so that an input of four
        // requests stays well within libFuzzer's time per input on a busy machine (more are refused).
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"ModuleFile=\"libcorvane.so\"", "ModuleFile=\"" CORVANE_BIN_DIR "/libcorvane.so\""},
                                       {"WaitDataInterval:i64=\"200\"", "WaitDataInterval:i64=\"200\" MaxSubRequests:i32=\"16\""}}) {
            const size_t at = hostConfig.find(from);
            Check(at != std::string::npos, "the shipped host.cfg.xml has no " + from);
            hostConfig.replace(at, from.size(), to);
        }
        WriteFile(config + "host.cfg.xml", hostConfig);

        // Kept mapped after the host unloads it at exit, as ModuleExportTest does: the module's
        // process-lifetime objects stay reachable instead of reading as leaks once it is unmapped.
        if (!dlopen(CORVANE_BIN_DIR "/libcorvane.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE))
            Fail(std::string("cannot load libcorvane.so: ") + dlerror());
        try {
            hostmain::CommandOptions options;
            options.host = {.configFile = config + "host.cfg.xml", .dataDirectory = folder + "/data"};
            options.records = 2000;
            options.days = 10;
            std::ostringstream out;
            host.StartServices(options.host);
            hostmain::GenerateIfMissing(host, options, out);
            hostmain::AggregateMetrics(host, out);
            hostmain::SwitchFastMethodOn(host);
            host.StartModule();
        } catch (const std::exception& error) {
            Fail(std::string("the host does not start: ") + error.what());
        }
        WaitForFastMethod();
    }

    ~Harness()
    {
        host.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // The fast method serves a range once the stale records check has found nothing uncovered there;
    // without it the fast path would only ever answer "not available". Bounded: start-up only.
    void WaitForFastMethod()
    {
        const QxNodePtr probe = QxNodePtr::Parse(
            R"(<GetRetrieveMethodRequest RetrieveMethod:i32="1"><node q:name="TimeRange"/></GetRetrieveMethodRequest>)");
        const int64_t now = std::time(nullptr);
        probe.GetChild("TimeRange").SetAttribute("TimeFrom", reporting::FormatUtcTime(now - 9 * 86400));
        probe.GetChild("TimeRange").SetAttribute("TimeTill", reporting::FormatUtcTime(now));
        for (int attempt = 0; attempt < 200; ++attempt) {
            const QxNodePtr answer = host.Process(probe);
            if (answer.GetAttributeOr<int32_t>("ResultCode", -1) == 0 && answer.GetAttributeOr<int32_t>("RetrieveMethod", 0) == 1)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        std::fprintf(stderr, "gate: the fast method is not offered; inputs run without it\n");
    }

    static long CountThreads() { return CountEntries("/proc/self/task"); }

    /// What the leak checks compare with, once the warm-up has started whatever starts on first use.
    void TakeBaseline()
    {
        threads = CountThreads();
        descriptors = CountEntries("/proc/self/fd");
    }

    QxNodePtr Send(const QxNodePtr& request)
    {
        watchdog.Arm(request.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8));
        QxNodePtr answer;
        try {
            answer = host.Process(request);
        } catch (const std::exception& error) {
            Fail(std::string("the gate made no answer: ") + error.what(), request);
        }
        watchdog.Disarm();
        Check(static_cast<bool>(answer), "the gate made no answer", request);
        return answer;
    }

    void LeakCheck()
    {
        const reporting::CQueriesProcessor* queries = host.QueriesProcessor();
        Check(queries->HeldQueries() == 0, "queries still held after every cookie was freed: " +
                                               std::to_string(queries->HeldQueries()));
        Check(queries->QueuedQueries() == 0, "queries still queued: " + std::to_string(queries->QueuedQueries()));
        Check(queries->WaitingPolls() == 0, "polls still waiting: " + std::to_string(queries->WaitingPolls()));
        const long nowThreads = CountThreads();
        Check(nowThreads <= threads + kSlack, "threads grew from " + std::to_string(threads) + " to " +
                                                  std::to_string(nowThreads));
        const long nowDescriptors = CountEntries("/proc/self/fd");
        Check(nowDescriptors <= descriptors + kSlack, "file descriptors grew from " + std::to_string(descriptors) +
                                                          " to " + std::to_string(nowDescriptors));
    }
};

Harness* g_harness = nullptr;

void StopHarness()
{
    delete g_harness;
    g_harness = nullptr;
}

// Every answer: a 32-bit ResultCode, 0 or a failure; a failure's ErrorSerialized starts with its code.
void CheckResult(const QxNodePtr& node, const std::string& what, const QxNodePtr& whole)
{
    uint32_t type = 0;
    Check(node.HasAttribute("ResultCode", &type), what + " without ResultCode", whole);
    Check(type == QXN_TYPE_INT32, what + ": ResultCode is not a 32-bit integer", whole);
    const int32_t code = node.GetRequiredAttribute<int32_t>("ResultCode");
    if (code == 0) return;
    Check(code < 0, what + ": ResultCode " + std::to_string(code) + " is neither 0 nor a failure", whole);
    std::string text;
    Check(node.GetAttribute("ErrorSerialized", text), what + ": a failure without ErrorSerialized", whole);
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "0x%08X", static_cast<uint32_t>(code));
    Check(text.rfind(prefix, 0) == 0, what + ": ErrorSerialized does not start with " + prefix, whole);
}

void CheckAnswer(const QxNodePtr& answer)
{
    CheckResult(answer, "an answer", answer);
    for (const QxNodePtr& sub : answer.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        int32_t status = -1;
        Check(sub.GetAttribute("RetrieveStatus", status) && status >= 0 && status <= 2,
              "a sub-response without a status of 0, 1 or 2", answer);
        if (status == 2) CheckResult(sub, "a failed sub-response", answer);
    }
}

QxNodePtr CookieRequest(const std::string& type, const GUID& token)
{
    const QxNodePtr request = QxNodePtr::Create("Fuzz", type);
    const QxNodePtr cookie = QxNodePtr::Create("RetrieveCookie");
    cookie.SetAttribute("Token", token);
    request.AddChild(cookie);
    return request;
}

// A cookie in an answer is a registered retrieve: polled to its end, freed, and gone after.
void FinishRetrieve(Harness& harness, const QxNodePtr& answer)
{
    const QxNodePtr cookie = answer.GetChild("RetrieveCookie", false);
    GUID token{};
    if (!cookie || !cookie.GetAttribute("Token", token)) return;
    // A cookie request answers the cookie alone: its retrieve is pending as a new one is.
    int32_t status = answer.GetAttributeOr<int32_t>("RetrieveStatus", 0);
    const QxNodePtr poll = CookieRequest("RetrieveCountersRequest", token);
    poll.SetAttribute("PartialResult", false);
    for (int polls = 0; status == 0; ++polls) {
        Check(polls < kMaxPolls, "a retrieve still running after " + std::to_string(kMaxPolls) + " complete polls", answer);
        const QxNodePtr next = harness.Send(poll);
        CheckAnswer(next);
        uint32_t type = 0;
        Check(next.HasAttribute("RetrieveStatus", &type) && type == QXN_TYPE_INT32, "a poll answer without RetrieveStatus", next);
        status = next.GetRequiredAttribute<int32_t>("RetrieveStatus");
        Check(status >= 0 && status <= 2, "a poll answer with RetrieveStatus " + std::to_string(status), next);
    }
    const QxNodePtr freed = harness.Send(CookieRequest("FreeCookieRequest", token));
    CheckAnswer(freed);
    Check(freed.GetRequiredAttribute<int32_t>("ResultCode") == 0, "freeing a cookie failed", freed);
    const QxNodePtr gone = harness.Send(poll);
    CheckAnswer(gone);
    Check(gone.GetRequiredAttribute<int32_t>("ResultCode") == kNotFound && gone.GetAttributeOr<int32_t>("RetrieveStatus", -1) == 2,
          "a freed cookie still answers " + GuidToText(token), gone);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_harness = new Harness;
    // The shipped dashboard by either method: the processor chains subscribe to the store, the workers
    // open their connections, on first use; the leak checks count from here.
    const QxNodePtr dashboard = QxNodePtr::Parse(ReadFile(CORVANE_BIN_DIR "/config/dashboard.xml"));
    for (const int32_t method : {1, 2}) {
        dashboard.SetAttribute("RetrieveMethod", method);
        const QxNodePtr answer = g_harness->Send(dashboard.Clone());
        CheckAnswer(answer);
        Check(answer.GetRequiredAttribute<int32_t>("ResultCode") == 0, "the shipped dashboard fails", answer);
        FinishRetrieve(*g_harness, answer);
    }
    g_harness->TakeBaseline();
    // Registered after the warm-up, so the host stops before the statics its first queries made are
    // destroyed: an exit while freed queries still run must not find them gone.
    std::atexit(StopHarness);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Harness& harness = *g_harness;
    if (++harness.inputs % kCheckEvery == 0) harness.LeakCheck();
    std::vector<IQxNode*> roots(64, nullptr);
    uint64_t count = 0;
    char error[256];
    if (QxnParseText(reinterpret_cast<const char*>(data), size, roots.data(), roots.size(), &count, error, sizeof error) != S_OK)
        return 0;
    std::vector<QxNodePtr> documents;
    for (uint64_t i = 0; i < count; ++i) documents.emplace_back(roots[i], QxNodePtr::Attach{});
    for (uint64_t i = 0; i < count && i < kMaxDocuments; ++i) {
        const QxNodePtr answer = harness.Send(documents[i]);
        CheckAnswer(answer);
        FinishRetrieve(harness, answer);
    }
    return 0;
}
