// The HTTP API and the dashboard page's files, served by cpp-httplib on one
// address: new retrieve requests, polls and frees by token, the two other
// request types, health and Prometheus metrics. docs/api.md describes it.
// Thread safety: Start/Stop from one thread; calls are answered on the
// server's own threads, each reaching the module through the backend.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/api/ApiMetrics.h"
#include "host/api/BearerToken.h"
#include "host/api/CookieTable.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace cvn::api {

class ApiCall;

struct ApiOptions {
    std::string host = "127.0.0.1";
    int port = 8080;                     ///< 0: any free port
    std::optional<BearerToken> token;    ///< required by every API call when set
    std::string webDirectory;            ///< the page's files; empty: no page
    size_t maxBodyBytes = 1 << 20;
    size_t threads = 128;
    std::chrono::seconds readTimeout{10};
    std::chrono::seconds writeTimeout{10};
    std::chrono::seconds keepAlive{5};
    CookieTable::Limits cookies;
    /// How often cookies are checked for idleness; zero: never on its own (tests call SweepIdleCookies).
    std::chrono::milliseconds sweepInterval{1000};
    CookieTable::Now now = [] { return CookieTable::Clock::now(); };
    /// The access log line of each call on standard error; off where calls come by the thousand (a fuzzer).
    bool accessLog = true;
};

/// What the API needs of the host.
struct ApiBackend {
    /// One request document through the module's gate; throws (std::exception) when there is no answer.
    std::function<QxNodePtr(const QxNodePtr&)> process;
    /// The queries processor's gauges (the live cookies are the API's own).
    std::function<ApiMetrics::Gauges()> gauges;
    /// Makes polls waiting in the module answer at once; for the stop.
    std::function<void()> cancel;
};

/// "HOST:PORT" or "[V6]:PORT" into host and port; throws std::runtime_error naming the text.
std::pair<std::string, int> ParseListenAddress(const std::string& text);

/// Throws std::runtime_error when the address is not loopback and no token is given.
void CheckListenRule(const ApiOptions& options);

class ApiServer {
public:
    /// Checks the options: an address other than loopback needs a token (std::runtime_error otherwise).
    ApiServer(ApiOptions options, ApiBackend backend);
    /// Stop().
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    /// Binds the address and serves on a thread of its own; the port bound. Throws std::runtime_error
    /// naming the address when it cannot be bound.
    int Start();
    /// Stops accepting, waits for the calls in flight (polls waiting in the module are cancelled), then
    /// frees every live cookie. Idempotent.
    void Stop();
    /// Frees the cookies nobody polled for the idle limit.
    void SweepIdleCookies();
    size_t LiveCookies() const { return m_cookies.Live(); }

private:
    void Dispatch(const httplib::Request& request, httplib::Response& response);
    void NewRequest(ApiCall& call);
    void Poll(ApiCall& call, const std::string& key);
    void Free(ApiCall& call, const std::string& key);
    void Other(ApiCall& call, const char* type);
    void FreeInModule(const GUID& token) noexcept;
    void SweepLoop();

    const ApiOptions m_options;
    const ApiBackend m_backend;
    CookieTable m_cookies;
    ApiMetrics m_metrics;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_serving;
    std::thread m_sweeping;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;  // guarded by m_lock
};

}  // namespace cvn::api
