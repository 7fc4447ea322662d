// The HTTP API under load: N clients, each on a kept-alive connection of its
// own, run the default dashboard (config/dashboard.xml, sent as JSON) against
// `corvane-host serve` again and again: POST it, poll with partial=true until
// RetrieveStatus is 1 or 2, or, for a share of them, DELETE the token after the
// first poll that carries a result. Between rounds, with every client idle, it
// reads the server's gauges (/metrics) and its resident memory and threads.
//
//   api_load [--url URL] [--records N] [--clients N] [--seconds S] [--rounds N]
//            [--free-share F] [--rss-growth PCT] [--data-dir DIR] [--request FILE] [--prepare-only]
//
// Without --url it starts build/bin/corvane-host serve itself on a data
// directory of N generated and aggregated records, made once (by `corvane-host
// demo`) into DIR/serve-records-<N> and reused, and stops it at the end.
// Exit codes: 0 clean; 1 errors, leftovers (live cookies or held queries after
// the last round), resident memory grown beyond the bound, or a server that
// died or would not stop; 2 bad command line; 3 setup failed; 128+N on signal N.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <pugixml.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFolders.h"

#ifndef CORVANE_BENCH_DATA_DIR
#define CORVANE_BENCH_DATA_DIR "bench-data"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
namespace fs = std::filesystem;

constexpr int kExitFailed = 1, kExitUsage = 2, kExitSetup = 3;
constexpr auto kDashboardTimeout = std::chrono::seconds(60);   // a dashboard on 1M records takes well under a second alone
constexpr auto kServerStartTimeout = std::chrono::seconds(120);
constexpr auto kServerStopTimeout = std::chrono::seconds(30);
constexpr auto kSettleTimeout = std::chrono::seconds(10);       // stopped queries end within a worker's step
constexpr size_t kMaxBody = 16u << 20;                          // an answer is a few KiB; a runaway one is cut here
constexpr time_t kReadTimeoutSec = 30;

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------------------------------
// Signals: SIGINT and SIGTERM are taken by one thread, which only sets a flag; every loop checks it.

std::atomic<int> g_signal{0};
sigset_t g_stopSignals, g_oldMask;

void WatchSignals()
{
    sigemptyset(&g_stopSignals);
    sigaddset(&g_stopSignals, SIGINT);
    sigaddset(&g_stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &g_stopSignals, &g_oldMask);
    std::thread([] {
        int signal = 0;
        if (sigwait(&g_stopSignals, &signal) == 0) g_signal.store(signal);
    }).detach();
}

bool Stopping() { return g_signal.load() != 0; }

// ---------------------------------------------------------------------------------------------------------------

struct Options {
    std::string url;
    int64_t records = 1000000;
    int clients = 100;
    double seconds = 60;
    int rounds = 3;
    double freeShare = 0.2;
    double rssGrowthPct = 10;
    std::string dataDir = CORVANE_BENCH_DATA_DIR;
    std::string requestFile;
    bool prepareOnly = false;
};

int Usage(const std::string& why)
{
    std::fprintf(stderr,
                 "api_load: %s\n"
                 "usage: api_load [--url URL] [--records N] [--clients N] [--seconds S] [--rounds N] [--free-share F]\n"
                 "                [--rss-growth PCT] [--data-dir DIR] [--request FILE] [--prepare-only]\n"
                 "  --url URL         a running server (else corvane-host serve is started beside this program)\n"
                 "  --records N       records of the server's data directory (default 1000000)\n"
                 "  --clients N       concurrent clients, each on its own connection (default 100)\n"
                 "  --seconds S       time the clients run, split between the rounds (default 60)\n"
                 "  --rounds N        rounds; the server's gauges and memory are read after each (default 3)\n"
                 "  --free-share F    share of the dashboards given up half way with DELETE (default 0.2)\n"
                 "  --rss-growth PCT  the last round's resident memory may exceed the first's by this (default 10)\n"
                 "  --data-dir DIR    where the data directories are kept (default " CORVANE_BENCH_DATA_DIR ")\n"
                 "  --request FILE    the dashboard request, node text form (default config/dashboard.xml beside "
                 "this program)\n"
                 "  --prepare-only    make the data directory and stop\n"
                 "CORVANE_API_TOKEN in the environment is sent as the bearer token.\n",
                 why.c_str());
    return kExitUsage;
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& why)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto text = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc || !*argv[i + 1]) return std::nullopt;
            return std::string(argv[++i]);
        };
        const auto number = [&](double low, double high) -> std::optional<double> {
            const auto value = text();
            if (!value) return std::nullopt;
            char* end = nullptr;
            const double n = std::strtod(value->c_str(), &end);
            if (!end || *end != '\0' || !(n >= low && n <= high)) return std::nullopt;
            return n;
        };
        std::optional<double> n;
        std::optional<std::string> s;
        if (arg == "--prepare-only") {
            options.prepareOnly = true;
            continue;
        } else if (arg == "--records" && (n = number(1, 1e9))) {
            options.records = static_cast<int64_t>(*n);
        } else if (arg == "--clients" && (n = number(1, 1000))) {
            options.clients = static_cast<int>(*n);
        } else if (arg == "--seconds" && (n = number(0.1, 86400))) {
            options.seconds = *n;
        } else if (arg == "--rounds" && (n = number(1, 1000))) {
            options.rounds = static_cast<int>(*n);
        } else if (arg == "--free-share" && (n = number(0, 1))) {
            options.freeShare = *n;
        } else if (arg == "--rss-growth" && (n = number(0, 1e6))) {
            options.rssGrowthPct = *n;
        } else if (arg == "--url" && (s = text())) {
            options.url = *s;
        } else if (arg == "--data-dir" && (s = text())) {
            options.dataDir = *s;
        } else if (arg == "--request" && (s = text())) {
            options.requestFile = *s;
        } else {
            static const std::set<std::string> known = {"--records", "--clients", "--seconds", "--rounds", "--free-share",
                                                        "--rss-growth", "--url", "--data-dir", "--request"};
            why = (known.count(arg) ? "a missing or bad value for " : "unknown argument ") + arg;
            return std::nullopt;
        }
        if ((arg == "--records" || arg == "--clients" || arg == "--rounds") && *n != std::floor(*n)) {
            why = arg + " takes a whole number";
            return std::nullopt;
        }
    }
    if (!options.url.empty() && options.url.rfind("http://", 0) != 0) {
        why = "--url takes http://HOST:PORT";
        return std::nullopt;
    }
    while (!options.url.empty() && options.url.back() == '/') options.url.pop_back();
    return options;
}

std::string ExecutableDirectory()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

std::string Label(int64_t records)
{
    return records % 1000000 == 0 ? std::to_string(records / 1000000) + "M" : std::to_string(records);
}

// ---------------------------------------------------------------------------------------------------------------
// The request: the node text form read with pugixml and written as the API's JSON form.

std::vector<std::string> SplitList(const std::string& text, bool escapes)
{
    std::vector<std::string> items;
    if (text.empty()) return items;
    if (escapes && text == "\\e") return {""};
    std::string item;
    for (size_t i = 0; i < text.size(); ++i) {
        if (escapes && text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '|' || text[i + 1] == '\\')) {
            item += text[++i];
        } else if (text[i] == '|') {
            items.push_back(std::exchange(item, {}));
        } else {
            item += text[i];
        }
    }
    items.push_back(item);
    return items;
}

Json TypedValue(const std::string& type, const std::string& value, const std::string& where)
{
    const auto integer = [&](const std::string& text) -> Json {
        size_t used = 0;
        try {
            const long long n = std::stoll(text, &used);
            if (used == text.size()) return n;
        } catch (const std::exception&) {
        }
        throw SetupError(where + ": '" + text + "' is not an integer");
    };
    if (type.empty() || type == "str" || type == "guid") return value;
    if (type == "i32" || type == "n32" || type == "i64") return integer(value);
    if (type == "bool") {
        if (value != "true" && value != "false") throw SetupError(where + ": '" + value + "' is not true or false");
        return value == "true";
    }
    if (type == "strs" || type == "guids") return SplitList(value, type == "strs");
    if (type == "i32s") {
        Json list = Json::array();
        for (const std::string& item : SplitList(value, false)) list.push_back(integer(item));
        return list;
    }
    throw SetupError(where + ": unknown attribute type '" + type + "'");
}

Json NodeJson(const pugi::xml_node& element)
{
    Json node = Json::object();
    const std::string tag = element.name();
    if (tag != "node") node["type"] = tag;
    Json attributes = Json::object();
    const auto add = [&](const std::string& name, const std::string& type, const std::string& value) {
        // The key carries the type as the text form does; a name that would read as typed gets ":str".
        const bool plainOk = name.find(':') == std::string::npos && !name.empty() &&
                             !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
        const std::string key = type.empty() || type == "str" ? (plainOk ? name : name + ":str") : name + ":" + type;
        attributes[key] = TypedValue(type, value, tag + " attribute " + name);
    };
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        const std::string name = attribute.name();
        if (name == "q:name") {
            node["name"] = attribute.value();
        } else if (name == "q:type") {
            node["type"] = attribute.value();
        } else {
            const size_t colon = name.find(':');
            add(name.substr(0, colon), colon == std::string::npos ? "" : name.substr(colon + 1), attribute.value());
        }
    }
    Json children = Json::array();
    for (const pugi::xml_node& child : element.children()) {
        if (child.type() != pugi::node_element) continue;
        if (std::string(child.name()) == "q:attr")
            add(child.attribute("name").value(), child.attribute("type").value(), child.attribute("value").value());
        else
            children.push_back(NodeJson(child));
    }
    if (!attributes.empty()) node["attributes"] = std::move(attributes);
    if (!children.empty()) node["children"] = std::move(children);
    return node;
}

std::string DashboardJson(const std::string& path)
{
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_file(path.c_str());
    if (!parsed) throw SetupError("cannot read the request '" + path + "': " + parsed.description());
    pugi::xml_node root = document.document_element();
    if (std::string(root.name()) == "nr") root = root.first_child();
    while (root && root.type() != pugi::node_element) root = root.next_sibling();
    if (!root) throw SetupError("the request '" + path + "' holds no node");
    return NodeJson(root).dump();
}

// ---------------------------------------------------------------------------------------------------------------
// Child processes: the server and the preparation of its data. Each gets SIGTERM when this program dies.

/// Starts `argv` with standard output to `stdoutFd` (or inherited when -1) and standard error to `stderrFd`.
pid_t Spawn(const std::vector<std::string>& args, int stdoutFd, int stderrFd)
{
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) throw SetupError(std::string("cannot start ") + args[0] + ": " + std::strerror(errno));
    if (pid == 0) {
        pthread_sigmask(SIG_SETMASK, &g_oldMask, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
        if (stderrFd >= 0) dup2(stderrFd, STDERR_FILENO);
        execv(argv[0], argv.data());
        const char message[] = "api_load: cannot run the program\n";
        [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    return pid;
}

/// A wait status as text: "exit code N" or "killed by signal N".
std::string StatusText(int status)
{
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "status " + std::to_string(status);
}

/// Whether the child has ended (its status in `status`), without waiting.
bool Ended(pid_t pid, int& status) { return waitpid(pid, &status, WNOHANG) == pid; }

/// Sends SIGTERM and waits up to the timeout, then SIGKILL. The wait status; `inTime` false when it needed the kill.
int Stop(pid_t pid, std::chrono::seconds timeout, bool& inTime)
{
    int status = 0;
    inTime = true;
    if (Ended(pid, status)) return status;
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (Ended(pid, status)) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    inTime = false;
    return status;
}

/// The data directory with `records` generated records, aggregated and the fast method on, as `demo`
/// leaves it: made once into a temporary folder renamed when complete, then reused.
std::string EnsureData(const Options& options, const std::string& hostProgram)
{
    const fs::path root = fs::absolute(options.dataDir);
    fs::create_directories(root);
    const fs::path done = root / ("serve-records-" + Label(options.records));
    if (fs::exists(done)) return done.string();
    const std::string prefix = done.filename().string() + ".tmp-";
    cvn::bench::RemoveAbandoned(root, prefix);
    const fs::path temporary = root / (prefix + std::to_string(getpid()));
    fs::remove_all(temporary);
    fs::create_directories(temporary);
    std::printf("preparing %s records into %s (once; later runs reuse it) ...\n", Label(options.records).c_str(),
                done.string().c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    const std::string log = (temporary / "prepare.log").string();
    const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) throw SetupError("cannot write " + log + ": " + std::strerror(errno));
    const pid_t pid = Spawn({hostProgram, "--data-dir", temporary.string(), "demo", "--records",
                             std::to_string(options.records), "--days", "30", "--seed", "1", "--top", "1"},
                            logFd, logFd);
    close(logFd);
    int status = 0;
    while (!Ended(pid, status)) {
        if (Stopping()) {
            bool inTime = false;
            status = Stop(pid, std::chrono::minutes(10), inTime);  // generation finishes its step first
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream text(log);
        std::stringstream tail;
        tail << text.rdbuf();
        std::string output = tail.str();
        if (output.size() > 4000) output = "..." + output.substr(output.size() - 4000);
        std::error_code ignored;
        fs::remove_all(temporary, ignored);  // a half-made database is never reused
        if (Stopping()) return {};
        throw SetupError(hostProgram + " demo failed (" + StatusText(status) + "):\n" + output);
    }
    fs::rename(temporary, done);
    std::printf("  done in %.0f s\n", MsSince(start) / 1000);
    std::fflush(stdout);
    return done.string();
}

struct Server {
    pid_t pid = -1;
    std::string url;
    std::string log;
};

/// Starts serve on the directory and reads its address from the line it prints once it accepts connections.
Server StartServer(const std::string& hostProgram, const std::string& dataDirectory, const std::string& log)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw SetupError(std::string("pipe: ") + std::strerror(errno));
    const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) throw SetupError("cannot write " + log + ": " + std::strerror(errno));
    Server server{.log = log};
    server.pid = Spawn({hostProgram, "--data-dir", dataDirectory, "serve", "--listen", "127.0.0.1:0",
                        "--max-cookies-per-client", "1000", "--max-cookies", "2000"},
                       pipeFds[1], logFd);
    close(pipeFds[1]);
    close(logFd);
    const int out = pipeFds[0];
    std::string text;
    const auto deadline = Clock::now() + kServerStartTimeout;
    const std::string marker = "listening on ";
    for (;;) {
        const size_t at = text.find(marker);
        const size_t end = at == std::string::npos ? at : text.find('\n', at);
        if (end != std::string::npos) {
            std::string url = text.substr(at + marker.size(), end - at - marker.size());
            while (!url.empty() && (url.back() == '/' || url.back() == '\r')) url.pop_back();
            server.url = url;
            break;
        }
        int status = 0;
        std::string why;
        if (Ended(server.pid, status)) {
            why = "it ended (" + StatusText(status) + ")";
            server.pid = -1;
        } else if (Stopping() || Clock::now() > deadline || text.size() > 65536) {
            why = Stopping() ? "interrupted" : "it printed no 'listening on' line in time";
        } else {
            pollfd wait{.fd = out, .events = POLLIN, .revents = 0};
            if (poll(&wait, 1, 100) > 0) {
                char buffer[4096];
                const ssize_t n = read(out, buffer, sizeof buffer);
                if (n > 0) text.append(buffer, static_cast<size_t>(n));
                else if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // closed: wait for its end
            }
            continue;
        }
        close(out);
        if (server.pid > 0) {
            bool inTime = false;
            Stop(server.pid, kServerStopTimeout, inTime);
        }
        throw SetupError("the server did not start: " + why + "; its log: " + log);
    }
    // Keeps reading what else it prints so it never blocks on a full pipe.
    std::thread([out] {
        char buffer[4096];
        while (read(out, buffer, sizeof buffer) > 0) {
        }
        close(out);
    }).detach();
    return server;
}

// ---------------------------------------------------------------------------------------------------------------
// One client's dashboards.

struct Tally {
    int64_t started = 0, completed = 0, freed = 0, errors = 0;
    std::vector<double> completeMs, firstMs;
    std::map<std::string, int64_t> errorKinds;
    std::string firstError;

    void Error(const std::string& kind, const std::string& detail)
    {
        ++errors;
        ++errorKinds[kind];
        if (firstError.empty()) firstError = kind + ": " + detail.substr(0, 600);
    }
    void Add(const Tally& other)
    {
        started += other.started;
        completed += other.completed;
        freed += other.freed;
        errors += other.errors;
        completeMs.insert(completeMs.end(), other.completeMs.begin(), other.completeMs.end());
        firstMs.insert(firstMs.end(), other.firstMs.begin(), other.firstMs.end());
        for (const auto& [kind, count] : other.errorKinds) errorKinds[kind] += count;
        if (firstError.empty()) firstError = other.firstError;
    }
};

struct Reply {
    int status = 0;  ///< 0 when the call failed before an answer
    std::string body;
    std::string location;
    std::string failure;  ///< transport error, or the body cut at kMaxBody
};

class ApiClient {
public:
    explicit ApiClient(const std::string& url) : m_client(url)
    {
        m_client.set_keep_alive(true);
        m_client.set_tcp_nodelay(true);  // headers and body go out in two writes: no wait for a delayed ACK
        m_client.set_connection_timeout(10, 0);
        m_client.set_read_timeout(kReadTimeoutSec, 0);
        m_client.set_write_timeout(kReadTimeoutSec, 0);
        if (const char* token = std::getenv("CORVANE_API_TOKEN"); token && *token) m_client.set_bearer_token_auth(token);
    }

    Reply Call(const std::string& method, const std::string& path, const std::string& body = {})
    {
        httplib::Request request;
        request.method = method;
        request.path = path;
        if (!body.empty()) {
            request.body = body;
            request.headers.emplace("Content-Type", "application/json");
        }
        request.headers.emplace("Accept", "application/json");
        Reply reply;
        request.content_receiver = [&](const char* data, size_t size, uint64_t, uint64_t) {
            if (reply.body.size() + size > kMaxBody) return false;
            reply.body.append(data, size);
            return true;
        };
        httplib::Response response;
        httplib::Error error = httplib::Error::Success;
        if (!m_client.send(request, response, error)) {
            reply.failure = error == httplib::Error::Canceled ? "an answer over 16 MiB" : httplib::to_string(error);
            return reply;
        }
        reply.status = response.status;
        reply.location = response.get_header_value("Location");
        return reply;
    }

private:
    httplib::Client m_client;
};

int32_t RetrieveStatus(const Json& node)
{
    const auto attributes = node.find("attributes");
    if (attributes == node.end() || !attributes->is_object()) return -1;
    const auto status = attributes->find("RetrieveStatus:i32");
    return status != attributes->end() && status->is_number_integer() ? status->get<int32_t>() : -1;
}

std::string ResultCodeHex(const Json& node)
{
    const auto attributes = node.find("attributes");
    if (attributes == node.end() || !attributes->is_object()) return "none";
    const auto code = attributes->find("ResultCode:i32");
    if (code == attributes->end() || !code->is_number_integer()) return "none";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code->get<int32_t>()));
    return text;
}

/// The answer node of a JSON envelope, or null when the body is not one.
Json AnswerOf(const std::string& body, std::string* token = nullptr)
{
    Json envelope = Json::parse(body, nullptr, false);
    if (!envelope.is_object() || !envelope.contains("answer") || !envelope["answer"].is_object()) return nullptr;
    if (token && envelope.contains("token") && envelope["token"].is_string()) *token = envelope["token"].get<std::string>();
    return std::move(envelope["answer"]);
}

std::string HttpKind(const std::string& call, const Reply& reply)
{
    return call + (reply.status ? " answered " + std::to_string(reply.status) : " failed: " + reply.failure);
}

class Dashboards {
public:
    Dashboards(const std::string& url, const std::string& body, double freeShare, unsigned seed)
        : m_client(url), m_body(body), m_free(std::clamp(freeShare, 0.0, 1.0)), m_random(seed)
    {
    }

    /// One dashboard to its end, counted in the tally.
    void RunOne(Tally& tally)
    {
        const bool giveUp = m_free(m_random);
        ++tally.started;
        const auto start = Clock::now();
        const Reply posted = m_client.Call("POST", "/api/v1/requests", m_body);
        if (posted.status != 201) return tally.Error(HttpKind("POST", posted), posted.body);
        std::string token;
        const Json first = AnswerOf(posted.body, &token);
        if (first.is_null() || token.empty()) return tally.Error("POST answer without token or answer", posted.body);
        if (RetrieveStatus(first) != 0) return tally.Error("POST answer status not 0", posted.body);
        const std::string path = "/api/v1/requests/" + token;
        std::set<std::string> failedSubs;  // each poll repeats every result so far
        bool sawResult = false;
        for (;;) {
            const Reply polled = m_client.Call("GET", path + "?partial=true");
            const double ms = MsSince(start);
            if (polled.status != 200) return tally.Error(HttpKind("GET", polled), polled.body);
            const Json answer = AnswerOf(polled.body);
            const int32_t status = answer.is_null() ? -1 : RetrieveStatus(answer);
            if (status < 0 || status > 2) return tally.Error("GET answer without a RetrieveStatus", polled.body);
            bool results = false;
            if (const auto children = answer.find("children"); children != answer.end() && children->is_array()) {
                for (size_t i = 0; i < children->size(); ++i) {
                    const Json& sub = (*children)[i];
                    if (!sub.is_object() || sub.value("type", "") != "RetrieveCountersSubResponse") continue;
                    const int32_t subStatus = RetrieveStatus(sub);
                    results = results || subStatus == 1;
                    if (subStatus == 2 && failedSubs.insert(sub.value("name", std::to_string(i))).second)
                        tally.Error("sub-response RetrieveStatus 2, ResultCode " + ResultCodeHex(sub), sub.dump());
                }
            }
            if (results && !sawResult) {
                sawResult = true;
                tally.firstMs.push_back(ms);
            }
            if (status == 1) {
                if (failedSubs.empty()) {
                    ++tally.completed;
                    tally.completeMs.push_back(ms);
                }
                return;
            }
            if (status == 2) return tally.Error("answer RetrieveStatus 2, ResultCode " + ResultCodeHex(answer), polled.body);
            if ((giveUp && results) || Clock::now() - start > kDashboardTimeout) {
                const Reply deleted = m_client.Call("DELETE", path);
                if (deleted.status != 204) return tally.Error(HttpKind("DELETE", deleted), deleted.body);
                if (!giveUp || !results) return tally.Error("no complete answer within 60 s", "freed");
                ++tally.freed;
                return;
            }
        }
    }

private:
    ApiClient m_client;
    const std::string& m_body;
    std::bernoulli_distribution m_free;
    std::mt19937 m_random;
};

// ---------------------------------------------------------------------------------------------------------------
// The server's state between rounds.

struct Gauges {
    bool read = false;
    double liveCookies = -1, queriesHeld = -1, inFlight = -1;
    std::string failure;
};

Gauges ScrapeMetrics(ApiClient& client)
{
    Gauges gauges;
    const Reply reply = client.Call("GET", "/metrics");
    if (reply.status != 200) {
        gauges.failure = HttpKind("GET /metrics", reply);
        return gauges;
    }
    std::istringstream lines(reply.body);
    std::string line;
    const std::map<std::string, double*> wanted = {{"corvane_live_cookies", &gauges.liveCookies},
                                                   {"corvane_queries_held", &gauges.queriesHeld},
                                                   {"corvane_http_requests_in_flight", &gauges.inFlight}};
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
        const auto found = wanted.find(line.substr(0, space));
        if (found != wanted.end()) *found->second = std::strtod(line.c_str() + space + 1, nullptr);
    }
    gauges.read = gauges.liveCookies >= 0 && gauges.queriesHeld >= 0 && gauges.inFlight >= 0;
    if (!gauges.read) gauges.failure = "/metrics lacks corvane_live_cookies, corvane_queries_held or corvane_http_requests_in_flight";
    return gauges;
}

struct ProcessState {
    int64_t rssKb = -1;
    int threads = -1;
};

ProcessState ReadProcess(pid_t pid)
{
    ProcessState state;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) state.rssKb = std::strtoll(line.c_str() + 6, nullptr, 10);
        if (line.rfind("Threads:", 0) == 0) state.threads = static_cast<int>(std::strtol(line.c_str() + 8, nullptr, 10));
    }
    return state;
}

double Quantile(std::vector<double> samples, double q)
{
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(samples.size()));
    return samples[static_cast<size_t>(std::max(rank, 1.0)) - 1];
}

void PrintErrors(const Tally& tally)
{
    for (const auto& [kind, count] : tally.errorKinds) std::printf("    %6lld x %s\n", static_cast<long long>(count), kind.c_str());
    if (!tally.firstError.empty()) std::printf("    first: %s\n", tally.firstError.c_str());
}

// ---------------------------------------------------------------------------------------------------------------

int Run(const Options& options)
{
    const std::string requestFile =
        options.requestFile.empty() ? ExecutableDirectory() + "/config/dashboard.xml" : options.requestFile;
    const std::string body = DashboardJson(requestFile);
    Server server;
    if (options.url.empty()) {
        const std::string hostProgram = ExecutableDirectory() + "/corvane-host";
        if (access(hostProgram.c_str(), X_OK) != 0) throw SetupError(hostProgram + " is missing; build corvane-host first");
        const std::string dataDirectory = EnsureData(options, hostProgram);
        if (Stopping()) return 128 + g_signal.load();
        if (options.prepareOnly) return 0;
        const fs::path logs = fs::absolute(options.dataDir) / "Logs";
        fs::create_directories(logs);
        server = StartServer(hostProgram, dataDirectory, (logs / "api_load-serve.log").string());
        std::printf("server %d on %s (data %s, access log %s)\n", server.pid, server.url.c_str(), dataDirectory.c_str(),
                    server.log.c_str());
    } else {
        server.url = options.url;
        std::printf("server %s (not started here: no memory or thread figures)\n", server.url.c_str());
    }
    std::printf("%d clients, %.0f s in %d rounds, %.0f%% of the dashboards freed half way, request %s\n", options.clients,
                options.seconds, options.rounds, options.freeShare * 100, requestFile.c_str());
    std::fflush(stdout);

    int code = 0;
    bool serverDied = false;
    Tally total;
    std::vector<ProcessState> states;
    Gauges last;
    double runSeconds = 0;
    try {
        {  // one dashboard alone first: a request the server refuses is named at once, not 100 times over
            Tally warm;
            Dashboards(server.url, body, 0, 0).RunOne(warm);
            if (warm.errors) {
                std::printf("the first dashboard failed:\n");
                PrintErrors(warm);
                throw SetupError("the server does not answer the dashboard");
            }
        }
        std::vector<std::unique_ptr<Dashboards>> clients;
        for (int c = 0; c < options.clients; ++c)
            clients.push_back(std::make_unique<Dashboards>(server.url, body, options.freeShare, 1000u + static_cast<unsigned>(c)));
        ApiClient scraper(server.url);
        const auto roundLength = std::chrono::duration<double>(options.seconds / options.rounds);
        for (int round = 1; round <= options.rounds && !Stopping() && !serverDied; ++round) {
            const auto start = Clock::now();
            const auto deadline = start + std::chrono::duration_cast<Clock::duration>(roundLength);
            std::atomic<bool> stop{false};
            std::vector<Tally> tallies(clients.size());
            std::vector<std::thread> threads;
            for (size_t c = 0; c < clients.size(); ++c)
                threads.emplace_back([&, c] {
                    while (!stop.load() && Clock::now() < deadline) clients[c]->RunOne(tallies[c]);
                });
            int status = 0;
            while (Clock::now() < deadline && !Stopping()) {
                if (server.pid > 0 && Ended(server.pid, status)) {
                    std::printf("the server ended during round %d: %s; its log: %s\n", round, StatusText(status).c_str(),
                                server.log.c_str());
                    server.pid = -1;
                    serverDied = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            stop.store(true);
            for (std::thread& thread : threads) thread.join();
            const double seconds = MsSince(start) / 1000;
            runSeconds += seconds;
            Tally roundTally;
            for (const Tally& tally : tallies) roundTally.Add(tally);
            total.Add(roundTally);
            if (serverDied) break;
            // Stopped queries end on their worker's next step: give the gauges a moment to reach zero.
            const auto settleStart = Clock::now();
            Gauges gauges = ScrapeMetrics(scraper);
            while (gauges.read && (gauges.liveCookies > 0 || gauges.queriesHeld > 0) && Clock::now() - settleStart < kSettleTimeout) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                gauges = ScrapeMetrics(scraper);
            }
            last = gauges;
            const ProcessState state = server.pid > 0 ? ReadProcess(server.pid) : ProcessState{};
            states.push_back(state);
            std::printf("round %d: %.1f s, %lld dashboards (%lld complete, %lld freed, %lld errors), %.1f complete/s, "
                        "complete p50 %.0f ms p99 %.0f ms",
                        round, seconds, static_cast<long long>(roundTally.started), static_cast<long long>(roundTally.completed),
                        static_cast<long long>(roundTally.freed), static_cast<long long>(roundTally.errors),
                        static_cast<double>(roundTally.completed) / seconds, Quantile(roundTally.completeMs, 0.5),
                        Quantile(roundTally.completeMs, 0.99));
            if (gauges.read)
                std::printf(" | live cookies %.0f, queries held %.0f, in flight %.0f (after %.1f s)", gauges.liveCookies,
                            gauges.queriesHeld, gauges.inFlight, MsSince(settleStart) / 1000);
            else
                std::printf(" | metrics: %s", gauges.failure.c_str());
            if (state.rssKb >= 0) std::printf(" | server RSS %.1f MiB, %d threads", state.rssKb / 1024.0, state.threads);
            std::printf("\n");
            std::fflush(stdout);
        }
    } catch (...) {
        if (server.pid > 0) {
            bool inTime = false;
            Stop(server.pid, kServerStopTimeout, inTime);
        }
        throw;
    }

    std::printf("total: %lld dashboards in %.1f s: %lld complete, %lld freed, %lld errors; %.1f complete dashboards/s "
                "(%.1f with the freed)\n",
                static_cast<long long>(total.started), runSeconds, static_cast<long long>(total.completed),
                static_cast<long long>(total.freed), static_cast<long long>(total.errors),
                runSeconds > 0 ? static_cast<double>(total.completed) / runSeconds : 0,
                runSeconds > 0 ? static_cast<double>(total.completed + total.freed) / runSeconds : 0);
    std::printf("complete dashboard (POST to the final answer): p50 %.1f ms, p99 %.1f ms; first answer with a result: "
                "p50 %.1f ms, p99 %.1f ms\n",
                Quantile(total.completeMs, 0.5), Quantile(total.completeMs, 0.99), Quantile(total.firstMs, 0.5),
                Quantile(total.firstMs, 0.99));
    if (total.errors) {
        std::printf("errors:\n");
        PrintErrors(total);
        code = kExitFailed;
    }
    if (serverDied) code = kExitFailed;
    if (!serverDied && !Stopping()) {
        if (!last.read) {
            std::printf("FAILED: the server's gauges could not be read: %s\n", last.failure.c_str());
            code = kExitFailed;
        } else if (last.liveCookies != 0 || last.queriesHeld != 0) {
            std::printf("FAILED: left after the last round: %.0f live cookies, %.0f held queries\n", last.liveCookies,
                        last.queriesHeld);
            code = kExitFailed;
        }
        if (states.size() >= 2 && states.front().rssKb > 0 && states.back().rssKb > 0) {
            const double growth = 100.0 * static_cast<double>(states.back().rssKb - states.front().rssKb) /
                                  static_cast<double>(states.front().rssKb);
            const bool ok = growth <= options.rssGrowthPct;
            std::printf("server RSS: first round %.1f MiB, last %.1f MiB, %+.1f%% (bound %.0f%%: %s)\n",
                        states.front().rssKb / 1024.0, states.back().rssKb / 1024.0, growth, options.rssGrowthPct,
                        ok ? "ok" : "EXCEEDED");
            if (!ok) code = kExitFailed;
        }
    }
    if (server.pid > 0) {
        const auto start = Clock::now();
        bool inTime = false;
        const int status = Stop(server.pid, kServerStopTimeout, inTime);
        std::printf("server stopped in %.0f ms: %s\n", MsSince(start), StatusText(status).c_str());
        if (!inTime || WIFSIGNALED(status)) {
            std::printf("FAILED: the server %s\n", inTime ? "crashed on SIGTERM" : "did not stop within 30 s of SIGTERM");
            code = kExitFailed;
        }
    }
    std::fflush(stdout);
    return Stopping() ? 128 + g_signal.load() : code;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    const std::optional<Options> options = ParseOptions(argc, argv, why);
    if (!options) return Usage(why);
    signal(SIGPIPE, SIG_IGN);  // a connection the server closed is an error of that call, not the end of this program
    WatchSignals();
    try {
        return Run(*options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "api_load: %s\n", error.what());
        return Stopping() ? 128 + g_signal.load() : kExitSetup;
    }
}
