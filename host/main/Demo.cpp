// corvane-host demo: sample data, metrics, the default dashboard, printed.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/RequestRunner.h"
#include "host/main/SignalWatch.h"
#include "host/main/TableOutput.h"

namespace cvn::hostmain {

namespace {

void PrintProgress(size_t delivered, size_t total, double seconds)
{
    static size_t lastDelivered = static_cast<size_t>(-1);
    const bool terminal = isatty(STDERR_FILENO);
    if (!terminal && delivered == lastDelivered) return;  // a log file gets one line per step, not per poll
    lastDelivered = delivered;
    std::fprintf(stderr, "%swaiting for answers: %zu of %zu sub-requests done, %.1f s%s", terminal ? "\r" : "", delivered,
                 total, seconds, terminal ? "   " : "\n");
    std::fflush(stderr);
}

}  // namespace

int RunDemo(const CommandOptions& options, std::ostream& out)
{
    HostRuntime host;
    host.StartServices(options.host);
    out << "Data directory: " << host.DataDirectory() << "\n";
    if (!GenerateIfMissing(host, options, out))
        out << "Reusing the sample database " << host.Storage().connection << "\n";
    out << "Records: " << CountRecords(host.Storage()) << "\n";
    const bool aggregated = AggregateMetrics(host, out);

    // Switched on before the module starts, which then reads the switch at once instead of hearing it later.
    if (aggregated) SwitchFastMethodOn(host);
    host.StartModule();
    if (aggregated) {
        if (FastMethodOffered(host))
            out << "Fast method: on\n";
        else
            out << "Fast method: switched on, but the module does not offer it for these requests\n";
    } else {
        out << "Fast method: off (no aggregated counters); every sub-request uses the standard method\n";
    }

    const QxNodePtr request = QxNodePtr::Parse(ReadTextFile(host.Config().demoRequestFile));
    out << "Dashboard request: " << host.Config().demoRequestFile << "\n\n" << std::flush;
    RequestRunner runner(host, options.timeout);
    const RetrieveOutcome outcome = runner.Run(request, {}, PrintProgress);
    if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\r%60s\r", "");

    const QxNodePtr& last = outcome.last;
    if (const QxNodePtr range = last.GetChild("TimeRange", false))
        out << "Time range: " << range.GetAttributeOr("TimeFrom", "?") << " to " << range.GetAttributeOr("TimeTill", "?")
            << "\n";
    out << "Answers: " << outcome.answers << " (polled with the cookie until complete)\n\n";
    for (const QxNodePtr& child : last.GetChildren()) {
        if (child.GetType() != "RetrieveCountersSubResponse") continue;
        const auto delivered = outcome.deliveredAt.find(child.GetName());
        PrintSubResponse(out, child, delivered == outcome.deliveredAt.end() ? 0.0 : delivered->second, options.top);
    }
    const QxNodePtr range = last.GetChild("TimeRange", false);
    if (range && host.Storage().kind == reporting::kDefaultStorageKind)  // the hint reads the file with sqlite3
        out << "Check ChangesByWho by hand:\n  sqlite3 " << host.Storage().connection
            << " \"SELECT Who, COUNT(*) FROM AuditRecords WHERE \\\"When\\\" >= CAST(strftime('%s','"
            << range.GetAttributeOr("TimeFrom", "") << "') AS INTEGER) GROUP BY Who ORDER BY 2 DESC LIMIT 5\"\n";
    out << "Module log: " << host.DataDirectory() << "/Logs/libcorvane.log\n" << std::flush;
    host.Stop();
    if (outcome.interrupted) return 128 + SignalWatch::Signal();
    if (outcome.timedOut) throw HostError("no complete answer within the timeout; the cookie was freed", kExitFailedAnswer);
    if (!outcome.failed) return kExitOk;
    std::cerr << "corvane-host: " << outcome.failure << "\n";
    return kExitFailedAnswer;
}

}  // namespace cvn::hostmain
