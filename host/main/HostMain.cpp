// corvane-host: runs the Corvane module in a host of its own, on an embedded
// SQLite reporting database. docs/host.md describes the commands and files.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/ModuleLoader.h"
#include "host/main/SignalWatch.h"

using namespace cvn::hostmain;

namespace {

constexpr const char* kUsage = R"(usage: corvane-host [--config FILE] [--data-dir DIR] COMMAND [options]

Commands:
  demo          generate sample records when the data directory has none, aggregate the
                metrics, switch the fast method on, send the default dashboard request and
                print each sub-request's top rows with the method chosen and its time
  request FILE  send one request document (node text form; '-' reads standard input);
                a new retrieve request is polled with its cookie until it completes;
                every answer is printed in the node text form (a line is cut after
                16 KiB, an answer after 16 MiB, each marked "... truncated")
  generate      write the sample database into the data directory (refused when it exists)
  aggregate     pre-aggregate the overview metrics of the data directory's database
  serve         prepare the database as demo does, then serve the HTTP API (/api/v1) and the
                dashboard page (/) until SIGINT or SIGTERM; prints "listening on URL" when ready

Options:
  --config FILE    host configuration (default: config/host.cfg.xml beside the program)
  --data-dir DIR   store, database and logs (default: $CORVANE_DATA_DIR, else ./corvane-data)
  --records N      sample records to generate (default from the host configuration)
  --days N         days the sample records cover
  --seed N         seed of the sample records
  --top N          rows shown per sub-request by demo (default 8)
  --timeout SEC    give up polling after SEC seconds and free the cookie (default 120)
  --listen H:P     serve: the address (default 127.0.0.1:8080; port 0 picks a free one);
                   another address than loopback needs a token
  --token-file F   serve: the bearer token every API call must carry (or CORVANE_API_TOKEN)
  --max-cookies N  serve: live cookies in all (default 1024)
  --max-cookies-per-client N   serve: live cookies of one client address (default 256)
  -h, --help       this text

Exit codes: 0 success; 1 an answer reported a failure or polling timed out; 2 bad
command line or request document; 3 configuration, module or database could not be
set up; 128+N after signal N, SIGINT 130 or SIGTERM 143 (a poll in flight is cut short and
its cookie freed; generate and aggregate finish first). A failure is named on standard error.
)";

int64_t Number(const std::string& option, const std::string& text, int64_t minimum)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < minimum)
        throw HostError(option + " needs a whole number of at least " + std::to_string(minimum) + ", not '" + text + "'",
                        kExitUsage);
    return value;
}

int Run(int argc, char** argv)
{
    try {
        CommandOptions options;
        const char* dataDirectory = std::getenv("CORVANE_DATA_DIR");
        options.host.dataDirectory = dataDirectory && *dataDirectory ? dataDirectory : "corvane-data";
        options.host.configFile = ExecutableDirectory() + "/config/host.cfg.xml";
        std::string command;
        std::vector<std::string> positional;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw HostError(arg + " needs a value", kExitUsage);
                return argv[++i];
            };
            if (arg == "-h" || arg == "--help") {
                std::fputs(kUsage, stdout);
                return kExitOk;
            } else if (arg == "--config") {
                options.host.configFile = value();
            } else if (arg == "--data-dir") {
                options.host.dataDirectory = value();
            } else if (arg == "--records") {
                options.records = Number(arg, value(), 1);
            } else if (arg == "--days") {
                options.days = static_cast<int32_t>(Number(arg, value(), 1));
            } else if (arg == "--seed") {
                options.seed = Number(arg, value(), 0);
            } else if (arg == "--top") {
                options.top = static_cast<size_t>(Number(arg, value(), 1));
            } else if (arg == "--timeout") {
                options.timeout = std::chrono::seconds(Number(arg, value(), 1));
            } else if (arg == "--listen") {
                options.listen = value();
            } else if (arg == "--token-file") {
                options.tokenFile = value();
            } else if (arg == "--max-cookies") {
                options.maxCookies = Number(arg, value(), 1);
            } else if (arg == "--max-cookies-per-client") {
                options.maxCookiesPerClient = Number(arg, value(), 1);
            } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
                throw HostError("unknown option '" + arg + "' (see --help)", kExitUsage);
            } else if (command.empty()) {
                command = arg;
            } else {
                positional.push_back(arg);
            }
        }
        if (command.empty()) throw HostError("no command given (see --help)", kExitUsage);
        if (options.host.dataDirectory.empty()) throw HostError("--data-dir is empty", kExitUsage);
        const size_t expected = command == "request" ? 1 : 0;
        if (command == "request" && positional.empty())
            throw HostError("request needs a request file, or '-' for standard input", kExitUsage);
        if (positional.size() > expected)
            throw HostError("unexpected argument '" + positional[expected] + "' for " + command, kExitUsage);
        if (command == "request") options.requestFile = positional.front();

        if (command == "demo") return RunDemo(options, std::cout);
        if (command == "request") return RunRequest(options, std::cout);
        if (command == "generate") return RunGenerate(options, std::cout);
        if (command == "aggregate") return RunAggregate(options, std::cout);
        if (command == "serve") return RunServe(options, std::cout);
        throw HostError("unknown command '" + command + "' (demo, request, generate, aggregate, serve; see --help)",
                        kExitUsage);
    } catch (const HostError& error) {
        std::cout << std::flush;
        std::fprintf(stderr, "corvane-host: %s\n", error.what());
        return error.ExitCode();
    } catch (...) {
        std::cout << std::flush;
        std::fprintf(stderr, "corvane-host: %s\n", CurrentErrorText().c_str());
        return kExitSetup;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any thread starts, so that every thread inherits the blocked signals.
    SignalWatch signals;
    const int code = Run(argc, argv);
    // A stop signal ends the program with the conventional 128+N, whether it cut a poll short or
    // the command (generate, aggregate) ran to its end first.
    return SignalWatch::StopRequested() ? 128 + SignalWatch::Signal() : code;
}
