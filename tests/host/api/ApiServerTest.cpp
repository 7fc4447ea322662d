// The HTTP API against a real host in the test's process, through a real
// HTTP client on a loopback port: every request type in both forms, polls to
// the end, free and expiry, every error status, the token rule; and the
// program's serve command once, as a user starts it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <cstdlib>
#include <set>
#include <sstream>

#include "host/api/ApiServer.h"
#include "host/api/NodeJson.h"
#include "host/main/Commands.h"
#include "host/main/RequestRunner.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/storage/Storage.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::test {
namespace {

using api::ApiServer;
using api::Json;

constexpr const char* kDashboard = R"(<RetrieveCountersRequest q:name="D" Top:i32="5">
  <RetrieveCountersSubRequest q:name="ByWho"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></RetrieveCountersSubRequest>
  <RetrieveCountersSubRequest q:name="ByAction"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="What_Action"/></GroupByRoot></RetrieveCountersSubRequest>
  <RetrieveCountersSubRequest q:name="ByWhere"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Where"/></GroupByRoot></RetrieveCountersSubRequest>
</RetrieveCountersRequest>)";

const std::string kDashboardJson = api::NodeToJson(QxNodePtr::Parse(kDashboard)).dump();

Json Body(const httplib::Result& result)
{
    return result && !result->body.empty() ? Json::parse(result->body, nullptr, false) : Json();
}

int StatusOf(const httplib::Result& result) { return result ? result->status : -1; }

std::map<std::string, int64_t> RowsOf(const Json& subResponse)
{
    std::map<std::string, int64_t> rows;
    for (const Json& child : subResponse.value("children", Json::array()))
        if (child.value("name", "") == "Counters")
            for (const Json& row : child.value("children", Json::array()))
                for (const auto& [key, value] : row["attributes"].items())
                    if (key != "Count:i64") rows[value.get<std::string>()] = row["attributes"]["Count:i64"];
    return rows;
}

class ApiServerTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir;
        s_host = new hostmain::HostRuntime;
        hostmain::CommandOptions options;
        options.host = {.configFile = CopyShippedConfiguration(*s_dir), .dataDirectory = s_dir->File("data")};
        options.records = 5000;
        options.days = 10;
        std::ostringstream out;
        s_host->StartServices(options.host);
        hostmain::GenerateIfMissing(*s_host, options, out);
        s_host->StartModule();
    }
    static void TearDownTestSuite()
    {
        delete s_host;
        s_host = nullptr;
        delete s_dir;
    }

    api::ApiBackend Backend() const
    {
        return {.process = [](const QxNodePtr& request) { return s_host->Process(request); },
                .gauges = [] { return api::ApiMetrics::Gauges{.queriesHeld = s_host->QueriesProcessor()->HeldQueries()}; },
                .cancel = {}};
    }
    /// A server on a free loopback port, swept only when the test says, on the test's clock.
    httplib::Client& Serve(api::ApiOptions options = {}, std::optional<api::ApiBackend> backend = std::nullopt)
    {
        options.host = "127.0.0.1";
        options.port = 0;
        options.sweepInterval = std::chrono::milliseconds(0);
        options.now = [this] { return api::CookieTable::Clock::time_point(std::chrono::seconds(m_now)); };
        m_server = std::make_unique<ApiServer>(std::move(options), backend ? *backend : Backend());
        m_client = std::make_unique<httplib::Client>("127.0.0.1", m_server->Start());
        m_client->set_read_timeout(std::chrono::seconds(30));
        return *m_client;
    }
    httplib::Result PostJson(const std::string& path, const std::string& body)
    {
        return m_client->Post(path.c_str(), body, "application/json");
    }
    /// A new dashboard; its token.
    std::string Begin()
    {
        const httplib::Result posted = PostJson("/api/v1/requests", kDashboardJson);
        EXPECT_EQ(StatusOf(posted), 201) << (posted ? posted->body : "no answer");
        return Body(posted).value("token", "");
    }

    static inline TempDir* s_dir = nullptr;
    static inline hostmain::HostRuntime* s_host = nullptr;
    int64_t m_now = 1000;
    std::unique_ptr<ApiServer> m_server;
    std::unique_ptr<httplib::Client> m_client;
};

TEST_F(ApiServerTest, EveryRequestTypeInBothFormsAndPollsUntilCompleteThenTheTokenIsGone)
{
    httplib::Client& client = Serve();
    const httplib::Result posted = PostJson("/api/v1/requests", kDashboardJson);
    ASSERT_EQ(StatusOf(posted), 201) << posted->body;
    const std::string token = Body(posted)["token"];
    EXPECT_EQ(posted->get_header_value("Location"), "/api/v1/requests/" + token);
    EXPECT_EQ(Body(posted)["answer"]["attributes"]["RetrieveStatus:i32"], 0);

    // Each poll carries every result so far; none is lost between polls.
    Json answer = Json::object();
    size_t delivered = 0;
    for (int poll = 0; poll < 200 && answer.value("attributes", Json::object()).value("RetrieveStatus:i32", 0) == 0; ++poll) {
        const httplib::Result polled = client.Get("/api/v1/requests/{" + token + "}?partial=true");
        ASSERT_EQ(StatusOf(polled), 200) << polled->body;
        answer = Body(polled)["answer"];
        size_t now = 0;
        for (const Json& child : answer["children"])
            if (child.value("type", "") == "RetrieveCountersSubResponse" && child["attributes"]["RetrieveStatus:i32"] == 1) ++now;
        EXPECT_GE(now, delivered);
        delivered = now;
    }
    ASSERT_EQ(answer["attributes"]["RetrieveStatus:i32"], 1);
    EXPECT_EQ(delivered, 3u);

    // The counts are the records' own.
    Json byAction, range;
    for (const Json& child : answer["children"]) {
        if (child.value("name", "") == "ByAction" && child.value("type", "") == "RetrieveCountersSubResponse") byAction = child;
        if (child.value("name", "") == "TimeRange") range = child;
    }
    auto db = reporting::OpenStorage(s_host->Storage());
    const int64_t from = *reporting::ParseTimeText(range["attributes"]["TimeFrom"].get<std::string>());
    const int64_t till = *reporting::ParseTimeText(range["attributes"]["TimeTill"].get<std::string>());
    EXPECT_EQ(RowsOf(byAction),
              reporting::test::CountedRows(*db, R"(SELECT "What_Action", COUNT(*) AS n FROM "AuditRecords" WHERE "When" >= ? AND "When" < ? GROUP BY 1 ORDER BY n DESC LIMIT 5)",
                                           {from, till}));

    const httplib::Result again = client.Get("/api/v1/requests/" + token);
    EXPECT_EQ(StatusOf(again), 404);
    EXPECT_EQ(Body(again)["ResultCodeHex"], "0x80070490");

    // The text form in, the text form out; a poll asks for it with Accept.
    const httplib::Result text = client.Post("/api/v1/requests", kDashboard, "application/xml");
    ASSERT_EQ(StatusOf(text), 201) << text->body;
    EXPECT_EQ(QxNodePtr::Parse(text->body).GetType(), "RetrieveCountersResponse");
    const std::string location = text->get_header_value("Location");
    const httplib::Result whole = client.Get(location + "?partial=false", {{"Accept", "application/xml"}});
    ASSERT_EQ(StatusOf(whole), 200);
    EXPECT_EQ(hostmain::RetrieveStatusOf(QxNodePtr::Parse(whole->body)), 1) << whole->body;

    const httplib::Result range2 = PostJson("/api/v1/time-range", "");
    ASSERT_EQ(StatusOf(range2), 200) << range2->body;
    EXPECT_EQ(Body(range2)["answer"]["children"][0]["name"], "TimeRange");
    const httplib::Result method =
        PostJson("/api/v1/retrieve-method", R"({"type": "GetRetrieveMethodRequest", "attributes": {"RetrieveMethod:i32": 2}})");
    ASSERT_EQ(StatusOf(method), 200) << method->body;
    EXPECT_TRUE(Body(method)["answer"]["attributes"].contains("RetrieveMethod:i32")) << method->body;

    const std::string metrics = client.Get("/metrics")->body;
    EXPECT_NE(metrics.find("corvane_live_cookies 0\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("corvane_http_requests_total{route=\"requests\",code=\"201\"} 2\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("corvane_dashboard_seconds_count 2\n"), std::string::npos) << metrics;
}

TEST_F(ApiServerTest, AFreedExpiredOrModuleForgottenCookieAnswers404AndLeavesNothingBehind)
{
    api::ApiOptions options;
    options.cookies.idle = std::chrono::seconds(60);
    httplib::Client& client = Serve(options);

    const std::string freed = Begin();
    EXPECT_EQ(StatusOf(client.Delete("/api/v1/requests/" + freed)), 204);
    EXPECT_EQ(StatusOf(client.Get("/api/v1/requests/" + freed)), 404);
    EXPECT_EQ(StatusOf(client.Delete("/api/v1/requests/" + freed)), 404);

    // Nobody polls: a minute later the host frees it, in the module too.
    const std::string idle = Begin();
    m_now += 59;
    m_server->SweepIdleCookies();
    EXPECT_EQ(m_server->LiveCookies(), 1u);
    m_now += 1;
    m_server->SweepIdleCookies();
    EXPECT_EQ(m_server->LiveCookies(), 0u);
    EXPECT_EQ(StatusOf(client.Get("/api/v1/requests/" + idle)), 404);
    const QxNodePtr poll = QxNodePtr::Parse(R"(<RetrieveCountersRequest><node q:name="RetrieveCookie" Token:guid="{)" + idle +
                                            R"(}"/></RetrieveCountersRequest>)");
    EXPECT_EQ(static_cast<uint32_t>(hostmain::ResultCodeOf(s_host->Process(poll))), 0x80070490u);

    // The module forgot it (its own expiry): the poll says 404 and the API lets it go.
    const std::string forgotten = Begin();
    s_host->Process(QxNodePtr::Parse(R"(<FreeCookieRequest><node q:name="RetrieveCookie" Token:guid="{)" + forgotten +
                                     R"(}"/></FreeCookieRequest>)"));
    EXPECT_EQ(StatusOf(client.Get("/api/v1/requests/" + forgotten)), 404);
    EXPECT_EQ(m_server->LiveCookies(), 0u);
    EXPECT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }));
}

TEST_F(ApiServerTest, EveryMalformedCallGetsItsStatusAndAJsonErrorNamingWhatIsWrong)
{
    api::ApiOptions options;
    options.maxBodyBytes = 4096;
    options.cookies.perClient = 1;
    httplib::Client& client = Serve(options);
    const struct {
        const char* method;
        std::string path;
        const char* type;
        std::string body;
        int status;
        const char* what;
    } cases[] = {
        {"POST", "/api/v1/requests", "application/json", "{\"type\": ", 400, "body"},
        {"POST", "/api/v1/requests", "application/json", R"({"type": "RetrieveCountersRequest", "attributes": {"Top:i33": 1}})", 400, "attributes.Top:i33"},
        {"POST", "/api/v1/requests", "application/xml", "<RetrieveCountersRequest", 400, "body"},
        {"POST", "/api/v1/requests", "text/plain", kDashboard, 415, "Content-Type"},
        {"POST", "/api/v1/requests", "application/json", R"({"type": "GetRetrieveMethodRequest"})", 400, "type"},
        {"POST", "/api/v1/requests", "application/xml",
         R"(<RetrieveCountersRequest><node q:name="RetrieveCookie" Token:guid="{983D55F8-99DB-449C-BD8F-A1473283FC07}"/></RetrieveCountersRequest>)", 400, "RetrieveCookie"},
        {"POST", "/api/v1/requests", "application/json", "", 400, "body"},
        {"POST", "/api/v1/requests", "application/json", std::string(5000, ' '), 413, "body"},
        {"POST", "/api/v1/time-range", "application/json", R"({"type": "RetrieveCountersRequest"})", 400, "type"},
        {"GET", "/api/v1/requests/983d55f8-99db-449c-bd8f-a1473283fc07?partial=yes", "", "", 400, "partial"},
        {"GET", "/api/v1/requests/983d55f8-99db-449c-bd8f-a1473283fc07", "", "", 404, "token"},
        {"GET", "/api/v1/requests/..%2Fmetrics", "", "", 404, "token"},
        {"PUT", "/api/v1/requests", "application/json", "{}", 405, "method"},
        {"GET", "/api/v2/requests", "", "", 404, "path"},
    };
    for (const auto& c : cases) {
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.body = c.body;
        if (*c.type) request.set_header("Content-Type", c.type);
        const httplib::Result result = client.send(request);
        ASSERT_TRUE(result) << c.method << " " << c.path;
        EXPECT_EQ(result->status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 60) << ": " << result->body;
        const Json body = Body(result);
        EXPECT_EQ(body.value("what", ""), c.what) << result->body;
        EXPECT_TRUE(body.contains("ResultCode") && !body.value("error", "").empty()) << result->body;
    }

    // One live cookie per client here: the second waits until the first is done.
    const std::string first = Begin();
    const httplib::Result second = PostJson("/api/v1/requests", kDashboardJson);
    EXPECT_EQ(StatusOf(second), 429);
    EXPECT_EQ(Body(second)["what"], "MaxCookiesPerClient");
    EXPECT_EQ(StatusOf(client.Delete("/api/v1/requests/" + first)), 204);
    EXPECT_EQ(StatusOf(client.Delete("/api/v1/requests/" + Begin())), 204);
}

TEST_F(ApiServerTest, AnUnavailableDatabaseIs503AndAFailedRequest500WithTheModulesAnswer)
{
    // The module's answer as it gives it when the database cannot be opened, or a request fails otherwise.
    int32_t code = static_cast<int32_t>(0x80040C0Au);
    api::ApiBackend failing = Backend();
    failing.process = [&code](const QxNodePtr& request) {
        const QxNodePtr answer = QxNodePtr::Create(request.GetName());
        answer.SetAttribute("RetrieveStatus", int32_t{2});
        answer.SetAttribute("ResultCode", code);
        answer.SetAttribute("ErrorSerialized", "the reporting database is unavailable");
        return answer;
    };
    Serve({}, failing);
    for (const auto& [failure, status] : {std::pair{0x80040C0Au, 503}, {0x80040C0Bu, 503}, {0x80004005u, 500}}) {
        code = static_cast<int32_t>(failure);
        const httplib::Result result = PostJson("/api/v1/requests", kDashboardJson);
        EXPECT_EQ(StatusOf(result), status);
        EXPECT_EQ(Body(result)["ResultCode"], code);
        EXPECT_EQ(Body(result)["answer"]["attributes"]["ResultCode:i32"], code);
        EXPECT_EQ(result->has_header("Retry-After"), status == 503);
    }
    EXPECT_EQ(m_server->LiveCookies(), 0u);
}

TEST_F(ApiServerTest, WithATokenEveryApiCallNeedsItAndAnAddressOffLoopbackNeedsAToken)
{
    const TempDir web;
    web.Write("index.html", "<!DOCTYPE html><title>page</title>");
    api::ApiOptions options;
    options.token = api::BearerToken("s3cret");
    options.webDirectory = web.Path();
    httplib::Client& client = Serve(options);
    for (const char* path : {"/healthz", "/metrics", "/api/v1/requests/983d55f8-99db-449c-bd8f-a1473283fc07"}) {
        EXPECT_EQ(StatusOf(client.Get(path)), 401) << path;
        EXPECT_EQ(StatusOf(client.Get(path, {{"Authorization", "Bearer s3cre"}})), 401) << path;
        EXPECT_EQ(StatusOf(client.Get(path, {{"Authorization", "Basic s3cret"}})), 401) << path;
    }
    EXPECT_EQ(StatusOf(client.Get("/healthz", {{"Authorization", "Bearer s3cret"}})), 200);
    EXPECT_EQ(Body(client.Get("/healthz"))["ResultCodeHex"], "0x80070005");
    // The page itself holds no data; a browser cannot attach the header to a page load.
    EXPECT_EQ(StatusOf(client.Get("/")), 200);
    // Answers go out as they are: compressing at the library's setting costs a poll more than it saves.
    const httplib::Result plain = client.Get("/healthz", {{"Authorization", "Bearer s3cret"}, {"Accept-Encoding", "br, gzip"}});
    EXPECT_FALSE(plain->has_header("Content-Encoding")) << plain->get_header_value("Content-Encoding");

    api::ApiOptions open;
    open.host = "0.0.0.0";
    EXPECT_THROW(api::CheckListenRule(open), std::runtime_error);
    open.token = api::BearerToken("s3cret");
    EXPECT_NO_THROW(api::CheckListenRule(open));
    for (const char* loopback : {"127.0.0.1", "127.8.9.10", "::1", "localhost"}) {
        open.host = loopback;
        open.token.reset();
        EXPECT_NO_THROW(api::CheckListenRule(open)) << loopback;
    }
}

TEST(ApiServeCommand, ServesUntilSigtermWithoutATokenInItsLogAndRefusesAnOpenAddressWithoutOne)
{
    const TempDir dir;
    const HostRun refused = RunHost({"--data-dir", dir.File("refused"), "serve", "--listen", "0.0.0.0:0"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("needs a bearer token"), std::string::npos) << refused.err;

    HostProcess host({"--data-dir", dir.File("data"), "--records", "2000", "serve", "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(host.WaitForStdout("/\n", std::chrono::seconds(60))) << host.Out();
    const size_t at = host.Out().find("listening on http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << host.Out();
    httplib::Client client("127.0.0.1", std::atoi(host.Out().c_str() + at + 30));
    EXPECT_EQ(StatusOf(client.Get("/healthz")), 200);
    const httplib::Result posted = client.Post("/api/v1/requests", kDashboard, "application/xml");
    ASSERT_EQ(StatusOf(posted), 201);
    const std::string location = posted->get_header_value("Location");
    EXPECT_EQ(StatusOf(client.Get(location + "?partial=false")), 200);
    host.Signal(SIGTERM);
    const HostRun run = host.Finish(std::chrono::seconds(30));
    EXPECT_EQ(run.exitCode, 128 + SIGTERM) << run.err;
    EXPECT_NE(run.err.find("GET /api/v1/requests/{token} 200"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(location.substr(location.rfind('/') + 1)), std::string::npos) << "a token in the log";
}

}  // namespace
}  // namespace cvn::test
