// The HTTP API's request handling: one ApiServer on a free loopback port,
// started once, with a bearer token, the page's files and small cookie limits,
// in front of a fake module that answers at once and as the request's name
// tells it (each character a step: a digit picks running, complete, stopped,
// one of the failure codes, or a throw; see Step). Each input is one HTTP
// request sent as raw bytes over a socket of its own, after an optional
// fixture (a live cookie to poll or free); then every cookie the fake module
// still holds is freed through the API.
//
// Input: an optional first line "@1<name>" asks for the fixture cookie, made
// by a request of that name; then the request's head, one line each ("\n" is
// sent as "\r\n"), an empty line and the body as it is. In the head {auth}
// stands for "Bearer <the token>", {live} for the fixture's token and {len}
// for the body's length. The request is framed so that the server never waits
// for more (see MakeRequest): "Connection: close" first, a Content-Length
// where none is given, a short body padded to its length.
//
// Oracle: every answer is well-formed HTTP and complete within the bound, and
// a well-formed request gets one; its status is one the API documents
// (httplib's own 414, and 206/416 for a request with a Range, besides), and
// agrees with what the fake module answered (201 for a new cookie, 503 for
// unavailable or busy, 404 for a poll the module does not know, 500 only when
// the module failed or threw); the module is reached only with the right token;
// JSON bodies parse, errors carry ResultCode, ResultCodeHex, error and what,
// answers in the node text form read back, and an answer in JSON reads back
// into the same node. Afterwards the API holds no live cookie, the fake module
// none either, and the client may make a cookie again (no place is lost).
// The body bytes also go straight to NodeJson's reader and to the text form's:
// a document reads into a node that keeps every member, and node -> JSON ->
// node gives the same node.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/api/ApiCall.h"
#include "host/api/ApiError.h"
#include "host/api/ApiServer.h"
#include "host/api/NodeJson.h"
#include "platform/nodestore/TextDepth.h"

namespace {

using namespace cvn;
using api::Json;

constexpr const char* kToken = "fuzz-5f1c8e2a";
constexpr size_t kMaxBody = 4096;
constexpr auto kBound = std::chrono::seconds(5);  // for one call's whole answer on a loaded machine
constexpr auto kGrace = std::chrono::milliseconds(200);  // for an answer httplib may or may not give
constexpr const char* kUnknownKey = "983d55f8-99db-449c-bd8f-a1473283fc07";

std::string g_exchange;  // the calls being checked as sent and answered, shown (printable) with a failure

std::string Printable(std::string_view text, size_t most = 3000)
{
    std::string out;
    for (const unsigned char c : text.substr(0, most)) {
        if ((c >= 0x20 && c < 0x7f) || c == '\n') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > most) out += "...";
    return out;
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "api: %s\n%s\n", what.c_str(), Printable(g_exchange, 20000).c_str());
    std::abort();
}

void Check(bool condition, const std::string& what)
{
    if (!condition) Fail(what);
}

// ---- The fake module ----------------------------------------------------------------------------

/// What the module does with a call. A request's name gives one step per character: a digit picks
/// that step; any other character is Running for a new request or another kind of call, Complete
/// for a poll. Its polls take the name's next characters in turn.
enum class Step { Running, Complete, Stopped, Unavailable, Busy, NotFound, Invalid, Failed, Throw, ThrowHrx };

constexpr HRESULT kStepCodes[] = {S_OK, S_OK, S_OK, kHrDatabaseUnavailable, kHrDatabaseBusy, kHrNotFound,
                                  kHrInvalidData, E_FAIL};

enum class CallKind { New, Poll, Free, Other };

struct Call {
    CallKind kind;
    Step step = Step::Running;
    bool known = true;  ///< a poll's or free's token was live
};

class FakeModule {
public:
    QxNodePtr Process(const QxNodePtr& request)
    {
        std::lock_guard lock(m_lock);
        const std::string type = request.GetType();
        const std::string name = request.GetName();
        const QxNodePtr cookie = request.GetChild("RetrieveCookie", false);
        GUID token{};
        if (cookie) cookie.GetAttribute("Token", token);
        const std::string key = Key(token);
        if (type == "FreeCookieRequest") {
            const bool known = m_live.erase(key) != 0;
            m_calls.push_back({CallKind::Free, Step::Running, known});
            const QxNodePtr answer = QxNodePtr::Create(name, "FreeCookieResponse");
            if (!known) answer.SetAttribute("ResultCode", static_cast<int32_t>(kHrNotFound));
            return answer;
        }
        const bool isNew = !cookie && (type == "RetrieveCountersRequest" || type == "RetrieveCountersDataRequest" ||
                                       type == "RetrieveCookieRequest");
        Call call{cookie ? CallKind::Poll : isNew ? CallKind::New : CallKind::Other};
        const auto live = m_live.find(key);
        if (cookie && live == m_live.end()) {
            call.known = false;
            m_calls.push_back(call);
            const QxNodePtr answer = QxNodePtr::Create(name, Answer(type));
            answer.SetAttribute("RetrieveStatus", int32_t{2});
            answer.SetAttribute("ResultCode", static_cast<int32_t>(kHrNotFound));
            answer.SetAttribute("ErrorSerialized", "the cookie is unknown");
            return answer;
        }
        call.step = cookie ? StepOf(live->second.name, ++live->second.polls, true) : StepOf(name, 0, false);
        m_calls.push_back(call);
        if (call.step == Step::Throw) throw std::runtime_error("the fake module failed the call");
        if (call.step == Step::ThrowHrx) ThrowHrWithDescription(E_UNEXPECTED, "the fake module failed the call");

        // The answer carries the request's attributes and a sub-response per sub-request, so that what
        // the API writes out holds the input's names and values.
        const QxNodePtr answer = QxNodePtr::Create(name, Answer(type));
        const QxNodePtr echo = QxNodePtr::Create("Echo");
        CopyAttributes(request, echo);
        answer.AddChild(echo);
        const int32_t status = call.step == Step::Running ? 0 : call.step == Step::Complete ? 1 : 2;
        answer.SetAttribute("RetrieveStatus", status);
        if (const HRESULT code = kStepCodes[static_cast<int>(call.step)]; code != S_OK) {
            answer.SetAttribute("ResultCode", static_cast<int32_t>(code));
            answer.SetAttribute("ErrorSerialized", "the fake module answers " + HrToText(code));
        }
        for (const QxNodePtr& child : request.GetChildren()) {
            if (cookie || child.GetType() != "RetrieveCountersSubRequest") continue;
            const QxNodePtr sub = QxNodePtr::Create(child.GetName(), "RetrieveCountersSubResponse");
            sub.SetAttribute("RetrieveStatus", status);
            const QxNodePtr row = QxNodePtr::Create("Row");
            row.SetAttribute("Value", child.GetName());
            row.SetAttribute("Count", int64_t{1});
            const QxNodePtr counters = QxNodePtr::Create("Counters");
            counters.AddChild(row);
            sub.AddChild(counters);
            answer.AddChild(sub);
        }
        if (call.kind == CallKind::Other) return answer;
        // A running request keeps its cookie; the module lets go of one that ended, stopped or failed.
        GUID given = token;
        if (call.kind == CallKind::New) {
            ++m_made;
            given = GUID{m_made, 0xF022, 0x4A11, {0x80, 0, 0, 0, 0, 0, 0, 1}};
            if (status == 0 && call.step == Step::Running) m_live[Key(given)] = {name, 0};
        } else if (call.step != Step::Running) {
            m_live.erase(live);
        }
        const QxNodePtr retrieveCookie = QxNodePtr::Create("RetrieveCookie");
        retrieveCookie.SetAttribute("Token", given);
        answer.AddChild(retrieveCookie);
        return answer;
    }

    std::vector<Call> TakeCalls()
    {
        std::lock_guard lock(m_lock);
        return std::exchange(m_calls, {});
    }
    std::vector<std::string> Live()
    {
        std::lock_guard lock(m_lock);
        std::vector<std::string> keys;
        for (const auto& [key, cookie] : m_live) keys.push_back(key);
        return keys;
    }

    static std::string Key(const GUID& token) { return *api::TokenKey(GuidToText(token)); }

private:
    struct Cookie {
        std::string name;
        size_t polls = 0;
    };

    static Step StepOf(const std::string& name, size_t at, bool poll)
    {
        if (name.empty()) return poll ? Step::Complete : Step::Running;
        const char c = name[at % name.size()];
        if (c >= '0' && c <= '9') return static_cast<Step>(c - '0');
        return poll ? Step::Complete : Step::Running;
    }

    static std::string Answer(const std::string& type)
    {
        const size_t at = type.rfind("Request");
        return at == std::string::npos ? type + "Response" : type.substr(0, at) + "Response";
    }

    std::mutex m_lock;
    std::map<std::string, Cookie> m_live;
    std::vector<Call> m_calls;
    uint32_t m_made = 0;
};

// ---- One HTTP exchange --------------------------------------------------------------------------

struct Response {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  ///< names in lower case
    std::string body;

    std::string Header(const std::string& name) const
    {
        for (const auto& [key, value] : headers)
            if (key == name) return value;
        return {};
    }
    bool Has(const std::string& name) const
    {
        for (const auto& [key, value] : headers)
            if (key == name) return true;
        return false;
    }
};

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

/// The answers in the bytes, each complete and well-formed; interim 1xx answers are skipped. Unless
/// whole, an answer cut off by the end of the wait is left out.
std::vector<Response> ParseResponses(const std::string& data, bool head, bool whole = true)
{
    std::vector<Response> responses;
    size_t at = 0;
    while (at < data.size()) {
        const size_t end = data.find("\r\n\r\n", at);
        if (end == std::string::npos && !whole) break;
        Check(end != std::string::npos, "an answer's head does not end");
        const std::string_view text(data.data() + at, end - at);
        Check(text.substr(0, 9) == "HTTP/1.1 " && text.size() >= 12, "not a status line: " + Printable(text.substr(0, 80)));
        Response response;
        for (size_t i = 9; i < 12; ++i) {
            Check(text[i] >= '0' && text[i] <= '9', "a status that is not three digits");
            response.status = response.status * 10 + (text[i] - '0');
        }
        size_t line = text.find("\r\n");
        while (line != std::string_view::npos) {
            const size_t next = text.find("\r\n", line + 2);
            const std::string_view header = text.substr(line + 2, (next == std::string_view::npos ? text.size() : next) - line - 2);
            const size_t colon = header.find(':');
            Check(colon != std::string_view::npos && colon > 0, "a header line without a name: " + Printable(header));
            std::string value(header.substr(colon + 1));
            value.erase(0, value.find_first_not_of(' '));
            response.headers.emplace_back(Lower(std::string(header.substr(0, colon))), value);
            line = next;
        }
        at = end + 4;
        const bool bodiless = head || response.status / 100 == 1 || response.status == 204 || response.status == 304;
        if (!bodiless) {
            Check(!response.Has("transfer-encoding"), "an answer in chunks");
            if (response.Has("content-length")) {
                const std::string length = response.Header("content-length");
                Check(!length.empty() && length.find_first_not_of("0123456789") == std::string::npos && length.size() < 10,
                      "Content-Length '" + length + "'");
                const size_t size = std::stoul(length);
                if (at + size > data.size() && !whole) break;
                Check(at + size <= data.size(), "the answer's body is cut short");
                response.body = data.substr(at, size);
                at += size;
            } else {
                response.body = data.substr(at);
                at = data.size();
            }
        }
        if (response.status / 100 != 1) responses.push_back(std::move(response));
    }
    return responses;
}

/// The bytes sent, and what the server sent up to its first whole answer or its close. A request the
/// server must answer fails past the bound; for another, what came within a short wait.
std::string Exchange(int port, const std::string& request, bool mustAnswer = true, bool head = false)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Check(fd >= 0, "no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // libFuzzer's timer signal may interrupt a call: the connection then goes on, and is waited for.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Check(errno == EINTR, std::string("cannot connect to the server: ") + std::strerror(errno));
        pollfd connecting{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        while (::poll(&connecting, 1, static_cast<int>(std::chrono::milliseconds(kBound).count())) < 0 && errno == EINTR) {
        }
        Check(::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 && (connecting.revents & POLLOUT),
              "cannot connect to the server");
    }
    // No half close: httplib drops the answer to a client that has shut its side. The server may stop
    // reading early (a body over the limit): what it does not take is dropped.
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + (mustAnswer ? kBound : kGrace);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{fd, POLLIN, 0};
        const int ready = left.count() <= 0 ? 0 : ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            Check(!mustAnswer, "no end of the answer within " + std::to_string(kBound.count()) + " s; so far:\n" +
                                   Printable(received));
            break;
        }
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            received.append(buffer, static_cast<size_t>(n));
            // Done at the first whole answer: httplib keeps the connection of a request it could not parse
            // open whatever the request said.
            if (!ParseResponses(received, head, false).empty()) break;
        } else if (n == 0 || errno != EINTR) {
            break;  // closed after the answer ("Connection: close"), or reset after a body left unread
        }
    }
    // An abortive close: no TIME_WAIT per input on the client's ports.
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
    return received;
}

// ---- The input as a request ---------------------------------------------------------------------

struct Request {
    std::string bytes;
    std::string method;
    std::string path;    ///< of the request line, up to '?'
    std::string head;    ///< as sent, with its blank line
    std::string body;
    bool wellFormed = false;  ///< a complete request the server must answer exactly once
};

void Replace(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

bool IsToken(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c);
}

/// The request of the input, framed so that the server never waits for more: the head ends with its
/// blank line, "Connection: close" comes first (bytes past the request are left unread), a request
/// without a length or chunks gets "Content-Length" of its body, and a body shorter than its length
/// is padded. What httplib would still wait for (chunks) is not well-formed.
Request MakeRequest(std::string_view text, const std::string& liveKey)
{
    Request request;
    std::vector<std::string> lines;
    bool blank = false;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        std::string line(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() && end != std::string_view::npos) {
            blank = true;
            break;
        }
        lines.push_back(std::move(line));
    }
    if (lines.empty()) lines.emplace_back();
    request.body = blank ? std::string(text.substr(at)) : std::string();
    bool formed = true;
    int lengths = 0;
    bool chunked = false;
    std::string length;  // the first Content-Length, as the server reads it
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        Replace(line, "{auth}", std::string("Bearer ") + kToken);
        Replace(line, "{live}", liveKey);
        Replace(line, "{len}", std::to_string(request.body.size()));
        if (i == 0) continue;
        const size_t colon = line.find(':');
        formed = formed && colon != std::string::npos && colon > 0;
        for (size_t k = 0; formed && k < colon; ++k) formed = IsToken(line[k]);
        for (size_t k = colon + 1; formed && k < line.size(); ++k) formed = line[k] >= 0x20 && line[k] < 0x7f;
        if (colon == std::string::npos) continue;
        const std::string name = Lower(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (name == "content-length" && lengths++ == 0) length = value;
        if (name == "transfer-encoding") chunked = true;
        if (name == "range") formed = false;  // the page's files answer 206 or 416
    }
    if (lengths == 0 && !chunked) {
        lines.push_back("Content-Length: " + std::to_string(request.body.size()));
        lengths = 1;
        length = std::to_string(request.body.size());
    }
    const bool decimal = !length.empty() && length.size() < 6 && length.find_first_not_of("0123456789") == std::string::npos;
    if (decimal && std::stoul(length) > request.body.size()) request.body.resize(std::stoul(length), ' ');
    formed = formed && lengths == 1 && decimal && !chunked;

    // The request line as METHOD TARGET VERSION: httplib's own parser is not instrumented, so a mangled
    // line teaches the search nothing; a missing target or version is put in.
    std::vector<std::string> words;
    for (size_t from = 0; from < lines[0].size();) {
        const size_t to = std::min(lines[0].find(' ', from), lines[0].size());
        if (to > from) words.push_back(lines[0].substr(from, to - from));
        from = to + 1;
    }
    if (words.empty()) words.push_back("GET");
    if (words.size() == 1) words.push_back("/");
    if (words.size() == 2 || (words.back() != "HTTP/1.1" && words.back() != "HTTP/1.0")) words.push_back("HTTP/1.1");
    std::string& first = lines[0];
    first = words[0] + " " + words[1] + " " + words.back();
    const size_t space = first.find(' ');
    const size_t second = space == std::string::npos ? std::string::npos : first.find(' ', space + 1);
    request.method = first.substr(0, space);
    if (second != std::string::npos) request.path = first.substr(space + 1, std::min(first.find('?', space), second) - space - 1);
    formed = formed && second != std::string::npos && second + 9 == first.size() &&
             (first.compare(second + 1, 8, "HTTP/1.1") == 0 || first.compare(second + 1, 8, "HTTP/1.0") == 0) &&
             first.size() < 2048 && !request.method.empty() && !request.path.empty() && request.path[0] == '/';
    // A method httplib does not know is answered 400 on a connection it keeps open.
    static const std::set<std::string> kMethods = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};
    formed = formed && kMethods.count(request.method);
    for (size_t i = space + 1; formed && i < second; ++i) formed = first[i] > 0x20 && first[i] < 0x7f;

    request.head = first + "\r\nConnection: close\r\n";
    for (size_t i = 1; i < lines.size(); ++i) request.head += lines[i] + "\r\n";
    request.head += "\r\n";
    request.bytes = request.head + request.body;
    request.wellFormed = formed && request.head.size() < 4096;
    return request;
}

/// Whether the head carries the right token in the only Authorization header, cleanly written.
bool RightTokenAlone(const Request& request)
{
    int found = 0;
    bool right = false;
    size_t at = request.head.find("\r\n");
    while (at != std::string::npos && at + 2 < request.head.size()) {
        const size_t end = request.head.find("\r\n", at + 2);
        const std::string line = request.head.substr(at + 2, end - at - 2);
        for (const char c : line)
            if (c < 0x20 || c >= 0x7f) return false;
        const size_t colon = line.find(':');
        if (colon != std::string::npos && Lower(line.substr(0, colon)) == "authorization") {
            ++found;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            right = value == std::string("Bearer ") + kToken;
        }
        at = end;
    }
    return found == 1 && right;
}

// ---- The server under test ----------------------------------------------------------------------

struct Harness {
    FakeModule fake;
    std::unique_ptr<api::ApiServer> server;  // after the fake: stopped and gone before it
    int port = 0;
};

Harness* Start()
{
    static Harness harness;
    api::ApiOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.token = api::BearerToken(kToken);
    options.webDirectory = CORVANE_BIN_DIR "/web";
    options.maxBodyBytes = kMaxBody;
    options.threads = 4;
    options.readTimeout = std::chrono::seconds(2);
    options.writeTimeout = std::chrono::seconds(2);
    options.cookies = {.total = 8, .perClient = 1, .idle = std::chrono::seconds(120)};
    options.sweepInterval = std::chrono::milliseconds(0);
    options.now = [] { return api::CookieTable::Clock::time_point(std::chrono::seconds(1000)); };
    options.accessLog = false;
    api::ApiBackend backend{.process = [](const QxNodePtr& request) { return harness.fake.Process(request); },
                            .gauges = {},
                            .cancel = {}};
    harness.server = std::make_unique<api::ApiServer>(std::move(options), std::move(backend));
    harness.port = harness.server->Start();
    return &harness;
}

std::string Post(const std::string& path, const std::string& json)
{
    return "POST " + path + " HTTP/1.1\r\nHost: fuzz\r\nConnection: close\r\nAuthorization: Bearer " + kToken +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json;
}

// With its length: a DELETE without one is read to the end of the connection.
std::string Delete(const std::string& key)
{
    return "DELETE /api/v1/requests/" + key + " HTTP/1.1\r\nHost: fuzz\r\nConnection: close\r\nAuthorization: Bearer " +
           kToken + "\r\nContent-Length: 0\r\n\r\n";
}

/// A call of the harness's own that must get the status; its one answer.
Response Own(Harness& harness, const std::string& request, int status, const std::string& what)
{
    g_exchange += "\nthe harness's own call:\n" + request;
    const std::vector<Response> answers = ParseResponses(Exchange(harness.port, request), false);
    Check(answers.size() == 1, what + ": " + std::to_string(answers.size()) + " answers");
    Check(answers[0].status == status, what + ": " + std::to_string(answers[0].status) + " rather than " +
                                           std::to_string(status) + ": " + Printable(answers[0].body));
    harness.fake.TakeCalls();
    return answers[0];
}

/// A new cookie through the API, its key.
std::string MakeCookie(Harness& harness, const std::string& name, const std::string& what)
{
    const Response made =
        Own(harness, Post(api::kRequestsPath, Json{{"type", "RetrieveCountersRequest"}, {"name", name}}.dump()), 201, what);
    const Json body = Json::parse(made.body);
    return body.at("token").get<std::string>();
}

// ---- NodeJson -----------------------------------------------------------------------------------

constexpr int kJsonDepth = 2 * nodestore::kMaxTextDepth + 2;
struct TooDeep {};

Json ParseJson(const std::string& text)
{
    const Json::parser_callback_t limit = [](int depth, Json::parse_event_t, Json&) {
        if (depth > kJsonDepth) throw TooDeep{};
        return true;
    };
    try {
        return Json::parse(text, limit, false);
    } catch (const TooDeep&) {
        return Json::value_t::discarded;
    }
}

/// The attribute's name in a JSON key: the part before a known type suffix.
std::string NameOfKey(const std::string& key)
{
    static const std::set<std::string> kSuffixes = {"str", "i32", "n32", "i64", "bool", "guid", "guids", "i32s", "strs"};
    const size_t colon = key.rfind(':');
    return colon != std::string::npos && kSuffixes.count(key.substr(colon + 1)) ? key.substr(0, colon) : key;
}

bool SameValue(const Json& a, const Json& b)
{
    if (a.is_array() && b.is_array()) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!SameValue(a[i], b[i])) return false;
        return true;
    }
    GUID x{}, y{};
    if (a.is_string() && b.is_string() && ParseGuidText(a.get<std::string>(), x) && ParseGuidText(b.get<std::string>(), y))
        return std::memcmp(&x, &y, sizeof x) == 0 || a == b;
    return a == b;
}

/// A document and the JSON form of the node read from it say the same: type, name, every attribute by
/// name and value in order, every child.
void CheckKept(const Json& document, const Json& written, int depth = 0)
{
    Check(depth <= nodestore::kMaxTextDepth, "deeper than a node may be");
    Check(document.value("type", "") == written.value("type", ""), "the type changed");
    Check(document.value("name", "") == written.value("name", ""), "the name changed");
    const Json none = Json::object();
    const Json& in = document.contains("attributes") ? document["attributes"] : none;
    const Json& out = written.contains("attributes") ? written["attributes"] : none;
    Check(in.size() == out.size(), "attributes were lost or added");
    auto i = in.begin();
    for (auto o = out.begin(); o != out.end(); ++i, ++o) {
        Check(NameOfKey(i.key()) == NameOfKey(o.key()), "attribute '" + i.key() + "' came back as '" + o.key() + "'");
        Check(SameValue(i.value(), o.value()), "attribute '" + i.key() + "' changed its value");
    }
    const Json empty = Json::array();
    const Json& kids = document.contains("children") ? document["children"] : empty;
    const Json& back = written.contains("children") ? written["children"] : empty;
    Check(kids.size() == back.size(), "children were lost or added");
    for (size_t k = 0; k < kids.size(); ++k) CheckKept(kids[k], back[k], depth + 1);
}

/// The text form with each unpaired UTF-16 surrogate ("&#xD800;", which only the text form's references
/// make) as U+FFFD: JSON text is UTF-8, where such a code unit has no place.
std::string WithoutLoneSurrogates(std::string text)
{
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    for (size_t at = text.find("&#xD"); at != std::string::npos; at = text.find("&#xD", at + 1)) {
        if (at + 8 <= text.size() && std::strchr("89ABCDEF", text[at + 4]) && hex(text[at + 5]) && hex(text[at + 6]) &&
            text[at + 7] == ';')
            text.replace(at, 8, "\xEF\xBF\xBD");
    }
    return text;
}

/// node -> JSON -> node is exact (but for unpaired surrogates), and the JSON form is UTF-8 a strict
/// writer takes.
void CheckRoundTrip(const QxNodePtr& node)
{
    Json json;
    QxNodePtr back;
    try {
        json = api::NodeToJson(node);
        back = api::JsonToNode(json);
    } catch (const api::ApiError& error) {
        Fail(std::string("a node's JSON form does not read back: ") + error.what());
    }
    try {
        (void)json.dump();
    } catch (const Json::exception& error) {
        Fail(std::string("the JSON form of a node is not UTF-8: ") + error.what());
    }
    Check(back.ToText() == WithoutLoneSurrogates(node.ToText()),
          "node -> JSON -> node changed the node:\n" + Printable(node.ToText()) + "\nbecame\n" + Printable(back.ToText()));
    Check(api::NodeToJson(back) == json, "node -> JSON -> node -> JSON changed the JSON");
}

void FeedNodeJson(const std::string& body)
{
    const Json document = ParseJson(body);
    if (!document.is_discarded()) {
        QxNodePtr node;
        try {
            node = api::JsonToNode(document);
        } catch (const api::ApiError& error) {
            Check(error.Status() == 400 && error.Code() == kHrInvalidData,
                  "JsonToNode refused with " + std::to_string(error.Status()) + " " + HrToText(error.Code()));
        }
        if (node) {
            CheckKept(document, api::NodeToJson(node));
            CheckRoundTrip(node);
        }
    }
    std::vector<QxNodePtr> nodes;
    try {
        nodes = QxNodePtr::ParseAll(body);
    } catch (const HRX&) {
    }
    for (const QxNodePtr& node : nodes) CheckRoundTrip(node);
}

// ---- The oracle ---------------------------------------------------------------------------------

int StatusOfFailure(Step step, bool poll)
{
    switch (step) {
        case Step::Unavailable:
        case Step::Busy: return 503;
        case Step::NotFound: return poll ? 404 : 400;
        case Step::Invalid: return 400;
        default: return 500;
    }
}

/// The status the API owes the module's answer.
int Expected(const Call& call)
{
    if (call.kind == CallKind::Free) return 204;
    if (call.kind == CallKind::Poll && !call.known) return 404;
    if (call.step == Step::Throw || call.step == Step::ThrowHrx) return 500;
    if (call.step >= Step::Unavailable) return StatusOfFailure(call.step, call.kind == CallKind::Poll);
    return call.kind == CallKind::New && call.step == Step::Running ? 201 : 200;
}

void CheckAnswer(const Request& request, const Response& response, const std::vector<Call>& calls, size_t liveBefore,
                 const Harness& harness)
{
    static const std::set<int> kDocumented = {200, 201, 204, 400, 401, 404, 405, 413, 414, 415, 429, 500, 503};
    const int status = response.status;
    const bool ranged = Lower(request.head).find("\r\nrange:") != std::string::npos;
    Check(kDocumented.count(status) || (ranged && (status == 206 || status == 416)),
          "status " + std::to_string(status) + " is not one the API answers");
    Check(calls.size() <= 1, "one call reached the module " + std::to_string(calls.size()) + " times");
    if (!calls.empty()) {
        Check(request.head.find(std::string("Bearer ") + kToken) != std::string::npos,
              "the module was reached without the right token");
        const int expected = Expected(calls[0]);
        Check(status == expected || (ranged && expected == 200 && (status == 206 || status == 416)),
              "status " + std::to_string(status) + " where the module's answer makes it " + std::to_string(expected));
    } else {
        Check(status != 500 && status != 503 && status != 201 && status != 204,
              "status " + std::to_string(status) + " without the module");
    }
    if (status == 401) {
        Check(!RightTokenAlone(request), "401 for the right token");
        Check(response.Header("www-authenticate") == "Bearer", "401 without WWW-Authenticate: Bearer");
    }
    if (status == 503) Check(response.Header("retry-after") == "1", "503 without Retry-After: 1");
    if (status == 405) Check(response.Has("allow"), "405 without Allow");

    const std::string type = Lower(response.Header("content-type"));
    if (request.method == "HEAD" || (ranged && response.Has("content-range"))) {
        // No body, or the part of one the client asked for (httplib cuts any answer to a Range).
    } else if (type.rfind("application/json", 0) == 0) {
        const Json body = ParseJson(response.body);
        Check(!body.is_discarded() && body.is_object(), "a JSON body that does not parse: " + Printable(response.body));
        if (status >= 400) {
            Check(body.contains("ResultCode") && body["ResultCode"].is_number_integer(), "an error without ResultCode");
            Check(body.contains("ResultCodeHex") && body["ResultCodeHex"].is_string(), "an error without ResultCodeHex");
            Check(body.contains("error") && body["error"].is_string() && !body["error"].get<std::string>().empty(),
                  "an error without its text");
            Check(body.contains("what") && body["what"].is_string(), "an error without what");
        }
        if (body.contains("answer")) {
            QxNodePtr answer;
            try {
                answer = api::JsonToNode(body["answer"]);
            } catch (const api::ApiError& error) {
                Fail(std::string("the answer's JSON does not read back: ") + error.what());
            }
            Check(api::NodeToJson(answer) == body["answer"], "the answer's JSON reads back into another node");
        }
        if (status == 201) {
            const std::string token = body.value("token", "");
            Check(!token.empty() && response.Header("location") == std::string(api::kRequestsPath) + "/" + token,
                  "201 whose Location and token differ");
        }
    } else if (type.rfind("application/xml", 0) == 0) {
        std::vector<QxNodePtr> nodes;
        try {
            nodes = QxNodePtr::ParseAll(response.body);
        } catch (const HRX& error) {
            Fail("an answer in the text form does not read: " + ErrorText(error));
        }
        Check(nodes.size() == 1, "an answer in the text form holds " + std::to_string(nodes.size()) + " nodes");
    } else if (!response.body.empty()) {
        Check(status < 300 && request.method == "GET", "status " + std::to_string(status) + " with a body of type '" + type + "'");
    }
    if (status == 201) {
        Check(response.Has("location"), "201 without Location");
        Check(harness.server->LiveCookies() == liveBefore + 1, "201 but no new live cookie");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Harness* harness = Start();
    std::string_view text(reinterpret_cast<const char*>(data), size);

    // The fixture: a live cookie the request may poll or free, its polls answered as its name says.
    std::string liveKey = kUnknownKey;
    if (!text.empty() && text[0] == '@') {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.size() >= 2 && line[1] == '1') {
            std::string name(line.substr(2, 16));
            for (char& c : name)
                if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\' || static_cast<unsigned char>(c) >= 0x7f) c = 'x';
            name = std::string("0") + name;  // its first step makes it: running
            g_exchange.clear();
            liveKey = MakeCookie(*harness, name, "the fixture's cookie");
        }
    }

    const Request request = MakeRequest(text, liveKey);
    g_exchange = "request:\n" + request.bytes;
    const size_t liveBefore = harness->server->LiveCookies();
    const std::string received = Exchange(harness->port, request.bytes, request.wellFormed, request.method == "HEAD");
    g_exchange += "\nanswer:\n" + received;
    const std::vector<Response> answers = ParseResponses(received, request.method == "HEAD", request.wellFormed);
    const std::vector<Call> calls = harness->fake.TakeCalls();
    static const bool show = std::getenv("API_FUZZ_SHOW") != nullptr;  // each call and its answers, for reading a corpus
    if (show) {
        std::fprintf(stderr, "%s -> %zu answer(s)%s, %zu module call(s):", Printable(request.head.substr(0, request.head.find('\r'))).c_str(),
                     answers.size(), request.wellFormed ? "" : " (not well-formed)", calls.size());
        for (const Response& answer : answers) std::fprintf(stderr, " %d %s", answer.status, Printable(answer.body, 160).c_str());
        std::fprintf(stderr, "\n");
    }
    if (request.wellFormed) Check(!answers.empty(), "a well-formed request got no answer");
    if (!answers.empty()) CheckAnswer(request, answers[0], calls, liveBefore, *harness);

    // Every cookie the module holds is one the API knows, and is freed through it; then none is left on
    // either side, and a new one can be made (no place was lost).
    for (const std::string& key : harness->fake.Live())
        Own(*harness, Delete(key), 204, "freeing a cookie the module holds through the API");
    Check(harness->fake.Live().empty(), "freeing through the API left the cookie in the module");
    Check(harness->server->LiveCookies() == 0,
          std::to_string(harness->server->LiveCookies()) + " live cookies the module no longer holds");
    if (request.method == "POST")
        Own(*harness, Delete(MakeCookie(*harness, "0", "a new cookie after the request (a lost place answers 429)")), 204,
            "freeing that cookie");

    FeedNodeJson(request.body);
    return 0;
}
