// The HTTP API: the server, its routes and what each does.
#include "host/api/ApiServer.h"

#include <httplib.h>

#include <algorithm>
#include <cstdio>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/api/ApiCall.h"
#include "host/api/ApiError.h"
#include "host/api/NodeJson.h"

namespace cvn::api {

namespace {

using SteadyClock = std::chrono::steady_clock;


thread_local SteadyClock::time_point t_callStart;

// Debian's library listens with a backlog of 5: a burst of new connections from many clients would be
// reset. Listening again on the bound socket widens it.
class Server : public httplib::Server {
public:
    bool WidenBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The label of a call's path in the metrics: a fixed set, never the token.
std::string RouteOf(const std::string& path)
{
    if (path == kRequestsPath) return "requests";
    if (StartsWith(path, "/api/v1/requests/")) return "request";
    if (path == "/api/v1/time-range") return "time_range";
    if (path == "/api/v1/retrieve-method") return "retrieve_method";
    if (path == "/healthz") return "healthz";
    if (path == "/metrics") return "metrics";
    if (!StartsWith(path, "/api/")) return "page";
    return "other";
}

// The path as the access log shows it: a token stays out of the log.
std::string LoggedPath(const std::string& path)
{
    return StartsWith(path, "/api/v1/requests/") ? "/api/v1/requests/{token}" : path.substr(0, 200);
}

bool NeedsToken(const std::string& path)
{
    return StartsWith(path, "/api/") || path == "/metrics" || path == "/healthz";
}

}  // namespace

std::pair<std::string, int> ParseListenAddress(const std::string& text)
{
    const size_t colon = text.rfind(':');
    const auto bad = [&] {
        return std::runtime_error("--listen '" + text + "' is not HOST:PORT (for example 127.0.0.1:8080)");
    };
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) throw bad();
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']') throw bad();
        host = host.substr(1, host.size() - 2);
    }
    const std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) throw bad();
    const int port = std::stoi(portText);
    if (port > 65535 || host.empty()) throw bad();
    return {host, port};
}

void CheckListenRule(const ApiOptions& options)
{
    if (!options.token && !IsLoopbackHost(options.host))
        throw std::runtime_error("listening on '" + options.host +
                                 "', which is not loopback, needs a bearer token: give --token-file FILE or set "
                                 "CORVANE_API_TOKEN");
}

ApiServer::ApiServer(ApiOptions options, ApiBackend backend)
    : m_options(std::move(options)), m_backend(std::move(backend)), m_cookies(m_options.cookies, m_options.now)
{
    CheckListenRule(m_options);
}

ApiServer::~ApiServer() { Stop(); }

int ApiServer::Start()
{
    auto owned = std::make_unique<Server>();
    Server& server = *owned;
    m_server = std::move(owned);
    const size_t threads = std::max<size_t>(m_options.threads, 2);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(m_options.maxBodyBytes);
    server.set_read_timeout(m_options.readTimeout);
    server.set_write_timeout(m_options.writeTimeout);
    server.set_keep_alive_timeout(m_options.keepAlive.count());
    server.set_keep_alive_max_count(1000);
    // Headers and body go out in two writes; without this a kept-alive call waits for the delayed ACK.
    server.set_tcp_nodelay(true);
    if (!m_options.webDirectory.empty() && !server.set_mount_point("/", m_options.webDirectory))
        throw std::runtime_error("the page's folder '" + m_options.webDirectory + "' does not exist");
    // The script under a type the library leaves uncompressed (the largest file; see kJsonAnswerType).
    for (const auto& [extension, type] : {std::pair{"html", "text/html; charset=utf-8"},
                                          {"css", "text/css; charset=utf-8"},
                                          {"js", "application/javascript; charset=utf-8"}})
        server.set_file_extension_and_mimetype_mapping(extension, type);

    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        t_callStart = SteadyClock::now();
        if (!m_options.token || !NeedsToken(request.path) ||
            m_options.token->Accepts(request.get_header_value("Authorization")))
            return httplib::Server::HandlerResponse::Unhandled;
        response.set_header("WWW-Authenticate", "Bearer");
        SendJson(response, 401,
                 ErrorBody(E_ACCESSDENIED, "this call needs the header 'Authorization: Bearer TOKEN'", "Authorization"));
        return httplib::Server::HandlerResponse::Handled;
    });
    // Failures httplib answers itself (a body over the limit, a malformed request line) get a JSON body too.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const bool tooLarge = response.status == 413;
        SendJson(response, response.status,
                 ErrorBody(tooLarge ? E_OUTOFMEMORY : kHrInvalidData,
                           tooLarge ? "the body is larger than the limit (MaxBodyBytes)" : "the call is malformed",
                           tooLarge ? "body" : "request"));
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        SendJson(response, 500, ErrorBody(E_FAIL, "the call failed inside the host", "request"));
    });
    server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - t_callStart).count();
        m_metrics.Count(RouteOf(request.path), response.status, seconds);
        if (m_options.accessLog)
            std::fprintf(stderr, "corvane-host: %s %s %d %.1f ms %s\n", request.method.c_str(),
                         LoggedPath(request.path).c_str(), response.status, seconds * 1000, request.remote_addr.c_str());
    });
    const auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
        Dispatch(request, response);
    };
    server.Get(".*", dispatch).Post(".*", dispatch).Delete(".*", dispatch);
    server.Put(".*", dispatch).Patch(".*", dispatch).Options(".*", dispatch);

    int port = m_options.port;
    if (port == 0) port = server.bind_to_any_port(m_options.host);
    else if (!server.bind_to_port(m_options.host, port)) port = -1;
    if (port <= 0)
        throw std::runtime_error("cannot listen on " + m_options.host + ":" + std::to_string(m_options.port) +
                                 " (in use, or not an address of this machine)");
    if (!server.WidenBacklog()) throw std::runtime_error("cannot widen the listen backlog of " + m_options.host);
    m_serving = std::thread([&server] { server.listen_after_bind(); });
    if (m_options.sweepInterval.count() > 0) m_sweeping = std::thread([this] { SweepLoop(); });
    return port;
}

void ApiServer::Stop()
{
    {
        std::lock_guard lock(m_lock);
        if (m_stopping) return;
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_server) {
        m_server->stop();
        if (m_backend.cancel) m_backend.cancel();
    }
    if (m_serving.joinable()) m_serving.join();
    if (m_sweeping.joinable()) m_sweeping.join();
    for (const CookieTable::Entry& entry : m_cookies.TakeAll()) FreeInModule(entry.token);
}

void ApiServer::SweepIdleCookies()
{
    for (const CookieTable::Entry& entry : m_cookies.TakeIdle()) FreeInModule(entry.token);
}

void ApiServer::SweepLoop()
{
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, m_options.sweepInterval, [this] { return m_stopping; })) {
        lock.unlock();
        SweepIdleCookies();
        lock.lock();
    }
}

void ApiServer::FreeInModule(const GUID& token) noexcept
{
    try {
        const QxNodePtr request = QxNodePtr::Create("FreeCookie", "FreeCookieRequest");
        const QxNodePtr cookie = QxNodePtr::Create("RetrieveCookie");
        cookie.SetAttribute("Token", token);
        request.AddChild(cookie);
        m_backend.process(request);
    } catch (...) {
        // The module frees a cookie nobody polls on its own when its time to live runs out.
    }
}

void ApiServer::Dispatch(const httplib::Request& request, httplib::Response& response)
{
    struct InFlight {
        std::atomic<int64_t>& count;
        explicit InFlight(std::atomic<int64_t>& c) : count(c) { ++count; }
        ~InFlight() { --count; }
    } inFlight(m_metrics.InFlight());

    ApiCall call{request, response};
    const std::string& path = request.path;
    const std::string& method = request.method;
    const auto only = [&](const char* allowed) {
        if (method == allowed) return true;
        response.set_header("Allow", allowed);
        throw ApiError(405, kHrNotSupported, method + " is not taken by " + LoggedPath(path) + " (only " + allowed + ")",
                       "method");
    };
    try {
        if (path == kRequestsPath) {
            if (only("POST")) NewRequest(call);
        } else if (StartsWith(path, "/api/v1/requests/")) {
            const std::string text = path.substr(std::string(kRequestsPath).size() + 1);
            const std::optional<std::string> key = TokenKey(text);
            if (!key) throw ApiError(404, kHrNotFound, "'" + text.substr(0, 64) + "' is not a token", "token");
            if (method == "GET") Poll(call, *key);
            else if (method == "DELETE") Free(call, *key);
            else {
                response.set_header("Allow", "GET, DELETE");
                throw ApiError(405, kHrNotSupported, method + " is not taken by a request's path (GET or DELETE)",
                               "method");
            }
        } else if (path == "/api/v1/time-range") {
            if (only("POST")) Other(call, "RetrieveTimeRangeRequest");
        } else if (path == "/api/v1/retrieve-method") {
            if (only("POST")) Other(call, "GetRetrieveMethodRequest");
        } else if (path == "/healthz") {
            if (only("GET")) {
                std::lock_guard lock(m_lock);
                SendJson(response, m_stopping ? 503 : 200, Json{{"status", m_stopping ? "stopping" : "ok"}});
            }
        } else if (path == "/metrics") {
            if (only("GET")) {
                ApiMetrics::Gauges gauges = m_backend.gauges ? m_backend.gauges() : ApiMetrics::Gauges{};
                gauges.liveCookies = m_cookies.Live();
                response.set_content(m_metrics.Render(gauges), "text/plain; version=0.0.4; charset=utf-8");
            }
        } else {
            throw ApiError(404, kHrNotFound, "no such path: " + LoggedPath(path), "path");
        }
    } catch (const ApiError& error) {
        SendJson(response, error.Status(), ErrorBody(error.Code(), error.what(), error.What()));
    } catch (const HRX& error) {
        SendJson(response, 500, ErrorBody(error.Code(), ErrorText(error), "request"));
    } catch (const std::exception& error) {
        // The host gives no answer while it stops, or when the gate fails the call itself.
        std::lock_guard lock(m_lock);
        if (m_stopping) response.set_header("Retry-After", "1");
        SendJson(response, m_stopping ? 503 : 500, ErrorBody(m_stopping ? kHrDatabaseUnavailable : E_FAIL, error.what(), "request"));
    }
}

void ApiServer::NewRequest(ApiCall& call)
{
    const QxNodePtr request = call.Document();
    if (!request) throw ApiError(400, kHrInvalidData, "the body is empty: send a retrieve request document", "body");
    const std::string type = request.GetType();
    if (type != "RetrieveCountersRequest" && type != "RetrieveCountersDataRequest" && type != "RetrieveCookieRequest")
        throw ApiError(400, kHrInvalidData,
                       "this path takes a new RetrieveCountersRequest, RetrieveCountersDataRequest or "
                       "RetrieveCookieRequest, not '" + type.substr(0, 64) + "'",
                       "type");
    if (request.GetChild("RetrieveCookie", false))
        throw ApiError(400, kHrInvalidData, "a request with a RetrieveCookie is a poll: GET /api/v1/requests/{token}",
                       "RetrieveCookie");
    const std::string& client = call.Request().remote_addr;
    std::string limit;
    if (!m_cookies.Reserve(client, limit))
        throw ApiError(429, kHrDatabaseBusy, "too many live cookies (" + limit + "): poll them to the end or free them", limit);
    QxNodePtr answer;
    try {
        answer = m_backend.process(request);
    } catch (...) {
        m_cookies.Unreserve(client);
        throw;
    }
    const QxNodePtr cookie = ResultCodeOf(answer) == 0 ? answer.GetChild("RetrieveCookie", false) : nullptr;
    GUID guid{};
    const int32_t status = RetrieveStatusOf(answer);
    if (!cookie || !cookie.GetAttribute("Token", guid) || (status != -1 && status != 0)) {
        m_cookies.Unreserve(client);
        if (ResultCodeOf(answer) != 0) return call.Failure(answer, false);
        return call.Answer(200, answer);
    }
    const std::string key = *TokenKey(GuidToText(guid));
    m_cookies.Add(key, {.token = guid,
                        .client = client,
                        .type = type == "RetrieveCookieRequest" ? "RetrieveCountersRequest" : type,
                        .name = request.GetName()});
    call.Answer(201, answer, key);
}

void ApiServer::Poll(ApiCall& call, const std::string& key)
{
    bool partialGiven = false;
    bool partial = true;
    if (call.Request().has_param("partial")) {
        const std::string value = call.Request().get_param_value("partial");
        if (value != "true" && value != "false")
            throw ApiError(400, kHrInvalidData, "partial is '" + value.substr(0, 32) + "', not true or false", "partial");
        partialGiven = true;
        partial = value == "true";
    }
    const std::optional<CookieTable::Entry> entry = m_cookies.Acquire(key);
    if (!entry) throw ApiError(404, kHrNotFound, "the token is unknown, finished, freed or expired", "token");
    QxNodePtr answer;
    try {
        const QxNodePtr poll = QxNodePtr::Create(entry->name, entry->type);
        if (partialGiven) poll.SetAttribute("PartialResult", partial);
        const QxNodePtr cookie = QxNodePtr::Create("RetrieveCookie");
        cookie.SetAttribute("Token", entry->token);
        poll.AddChild(cookie);
        answer = m_backend.process(poll);
    } catch (...) {
        m_cookies.Release(key, false);
        throw;
    }
    const int32_t status = RetrieveStatusOf(answer);
    const bool failed = ResultCodeOf(answer) != 0;
    if (status == 1 && !failed)
        m_metrics.Dashboard(std::chrono::duration<double>(m_options.now() - entry->created).count());
    m_cookies.Release(key, failed || status == 1 || status == 2);
    if (failed) return call.Failure(answer, true);
    call.Answer(200, answer, key);
}

void ApiServer::Free(ApiCall& call, const std::string& key)
{
    const std::optional<CookieTable::Entry> entry = m_cookies.Remove(key);
    if (!entry)
        throw ApiError(404, kHrNotFound, "the token is unknown, finished, freed or expired", "token");
    FreeInModule(entry->token);
    call.Response().status = 204;
}

void ApiServer::Other(ApiCall& call, const char* type)
{
    QxNodePtr request = call.Document();
    if (!request) request = QxNodePtr::Create("Request", type);
    if (request.GetType().empty()) request.SetType(type);
    if (request.GetType() != type)
        throw ApiError(400, kHrInvalidData,
                       std::string("this path takes a ") + type + ", not '" + request.GetType().substr(0, 64) + "'",
                       "type");
    const QxNodePtr answer = m_backend.process(request);
    if (ResultCodeOf(answer) != 0) return call.Failure(answer, false);
    call.Answer(200, answer);
}

}  // namespace cvn::api
