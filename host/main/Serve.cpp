// corvane-host serve: the module behind the HTTP API and the dashboard page.
#include <condition_variable>
#include <mutex>

#include "host/api/ApiServer.h"
#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/SignalWatch.h"

namespace cvn::hostmain {

namespace {

int64_t Setting(const QxNodePtr& node, const char* name, int64_t fallback, int64_t minimum)
{
    int64_t value = fallback;
    try {
        if (node) value = node.GetAttributeOr<int64_t>(name, fallback);
    } catch (...) {
        throw HostError("host configuration, HttpApi: \"" + std::string(name) + "\" is not a whole number");
    }
    if (value < minimum)
        throw HostError("host configuration, HttpApi: \"" + std::string(name) + "\" must be at least " +
                        std::to_string(minimum));
    return value;
}

api::ApiOptions ApiOptionsOf(const HostConfig& config, const CommandOptions& options)
{
    const QxNodePtr& node = config.httpApi;
    api::ApiOptions api;
    const std::string listen = options.listen ? *options.listen : node ? node.GetAttributeOr("Listen", "127.0.0.1:8080")
                                                                       : "127.0.0.1:8080";
    try {
        std::tie(api.host, api.port) = api::ParseListenAddress(listen);
        // A file named on the command line is relative to the working folder, one in the configuration to it.
        std::string tokenFile = options.tokenFile.value_or("");
        if (!options.tokenFile && node && !node.GetAttributeOr("TokenFile", "").empty())
            tokenFile = ResolvePath(config.directory, node.GetAttributeOr("TokenFile", ""));
        api.token = api::BearerToken::Load(tokenFile);
        api::CheckListenRule(api);
    } catch (const std::runtime_error& error) {
        throw HostError(error.what(), kExitUsage);
    }
    api.cookies.total = static_cast<size_t>(options.maxCookies.value_or(Setting(node, "MaxCookies", 1024, 1)));
    api.cookies.perClient =
        static_cast<size_t>(options.maxCookiesPerClient.value_or(Setting(node, "MaxCookiesPerClient", 256, 1)));
    api.cookies.idle = std::chrono::seconds(Setting(node, "CookieIdleSec", 120, 1));
    api.maxBodyBytes = static_cast<size_t>(Setting(node, "MaxBodyBytes", 1 << 20, 1024));
    api.threads = static_cast<size_t>(Setting(node, "Threads", 128, 2));
    api.readTimeout = std::chrono::seconds(Setting(node, "ReadTimeoutSec", 10, 1));
    api.writeTimeout = std::chrono::seconds(Setting(node, "WriteTimeoutSec", 10, 1));
    api.keepAlive = std::chrono::seconds(Setting(node, "KeepAliveSec", 5, 1));
    api.webDirectory = ExecutableDirectory() + "/web";
    return api;
}

}  // namespace

int RunServe(const CommandOptions& options, std::ostream& out)
{
    HostRuntime host;
    host.StartServices(options.host);
    api::ApiOptions apiOptions = ApiOptionsOf(host.Config(), options);  // bad settings stop before any work
    if (!GenerateIfMissing(host, options, out))
        out << "Reusing the database " << host.Storage().connection << "\n";
    if (AggregateMetrics(host, out)) SwitchFastMethodOn(host);
    host.StartModule();

    api::ApiBackend backend{
        .process = [&host](const QxNodePtr& request) { return host.Process(request); },
        .gauges =
            [&host] {
                const reporting::CQueriesProcessor* queries = host.QueriesProcessor();
                return api::ApiMetrics::Gauges{.liveCookies = 0,
                                               .queriesHeld = queries ? queries->HeldQueries() : 0,
                                               .queriesQueued = queries ? queries->QueuedQueries() : 0};
            },
        .cancel = [&host] { host.CancelRequests(); },
    };
    const std::string hostName = apiOptions.host.find(':') != std::string::npos ? "[" + apiOptions.host + "]"
                                                                                : apiOptions.host;
    int port = 0;
    std::unique_ptr<api::ApiServer> server;
    try {
        server = std::make_unique<api::ApiServer>(std::move(apiOptions), backend);
        port = server->Start();
    } catch (const std::runtime_error& error) {
        throw HostError(error.what(), kExitUsage);
    }
    out << "listening on http://" << hostName << ":" << port << "/" << std::endl;

    std::mutex lock;
    std::condition_variable stopped;
    bool stop = false;
    {
        const SignalWatch::StopAction onStop([&] {
            std::lock_guard guard(lock);
            stop = true;
            stopped.notify_all();
        });
        std::unique_lock guard(lock);
        stopped.wait(guard, [&] { return stop; });
    }
    server->Stop();
    host.Stop();
    return kExitOk;
}

}  // namespace cvn::hostmain
