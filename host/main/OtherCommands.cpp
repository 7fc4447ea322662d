// corvane-host request, generate and aggregate.
#include <iostream>
#include <iterator>

#include "host/main/AnswerText.h"
#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/RequestRunner.h"
#include "host/main/SignalWatch.h"

namespace cvn::hostmain {

int RunRequest(const CommandOptions& options, std::ostream& out)
{
    std::string text;
    if (options.requestFile == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        try {
            text = ReadTextFile(options.requestFile);
        } catch (const HostError& error) {
            throw HostError(error.what(), kExitUsage);
        }
    }
    const std::string source = options.requestFile == "-" ? "standard input" : "'" + options.requestFile + "'";
    QxNodePtr request;
    try {
        request = QxNodePtr::Parse(text);
    } catch (...) {
        throw HostError("the request in " + source + " is not one node in the text form: " + CurrentErrorText(),
                        kExitUsage);
    }
    if (request.GetType().empty())
        throw HostError("the request in " + source + " has no node type (the request type, as <RetrieveCountersRequest>)",
                        kExitUsage);
    PartialResultOf(request);  // before anything starts: a bad value is the document's fault

    HostRuntime host;
    host.StartServices(options.host);
    // The module hears the stored fast method switch as its subscription starts: nothing to replay or wait for.
    host.StartModule();
    RequestRunner runner(host, options.timeout);
    const RetrieveOutcome outcome = runner.Run(request, [&](const QxNodePtr& answer, double) {
        WriteBoundedText(out, answer);
        out << "\n" << std::flush;
    });
    host.Stop();
    if (outcome.interrupted) return 128 + SignalWatch::Signal();
    if (outcome.timedOut) throw HostError("no complete answer within the timeout; the cookie was freed", kExitFailedAnswer);
    if (!outcome.failed) return kExitOk;
    std::cerr << "corvane-host: " << outcome.failure << "\n";
    return kExitFailedAnswer;
}

int RunGenerate(const CommandOptions& options, std::ostream& out)
{
    HostRuntime host;
    host.StartServices(options.host);
    if (!GenerateIfMissing(host, options, out))
        throw HostError("the reporting database '" + host.Storage().connection +
                        "' exists already; remove it or choose another --data-dir");
    out << "Records: " << CountRecords(host.Storage()) << "\n";
    host.Stop();
    return kExitOk;
}

int RunAggregate(const CommandOptions& options, std::ostream& out)
{
    HostRuntime host;
    host.StartServices(options.host);
    CountRecords(host.Storage());
    const bool aggregated = AggregateMetrics(host, out);
    host.Stop();
    return aggregated ? kExitOk : kExitSetup;
}

}  // namespace cvn::hostmain
