// The commands of corvane-host. Each returns the program's exit code and
// reports bad input as HostError.
// Thread safety: run from main, one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "host/main/HostRuntime.h"
#include "host/reporting/sample/SampleDataGenerator.h"

namespace cvn::hostmain {

struct CommandOptions {
    HostOptions host;
    std::optional<int64_t> records;  ///< sample records to generate (default from the host configuration)
    std::optional<int64_t> seed;
    std::optional<int32_t> days;
    size_t top = 8;                                    ///< rows shown per sub-request
    std::chrono::milliseconds timeout{120000};         ///< polling gives up (and frees its cookie) after it
    std::string requestFile;                           ///< for "request": a path or "-"
    std::optional<std::string> listen;                 ///< for "serve": HOST:PORT over the configuration's
    std::optional<std::string> tokenFile;              ///< for "serve": the bearer token's file
    std::optional<int64_t> maxCookies;                 ///< for "serve": live cookies in all
    std::optional<int64_t> maxCookiesPerClient;        ///< for "serve": live cookies of one client address
};

int RunDemo(const CommandOptions& options, std::ostream& out);
int RunRequest(const CommandOptions& options, std::ostream& out);
int RunGenerate(const CommandOptions& options, std::ostream& out);
int RunAggregate(const CommandOptions& options, std::ostream& out);
/// Prepares the database as demo does, then serves the HTTP API and the page until SIGINT or SIGTERM.
int RunServe(const CommandOptions& options, std::ostream& out);

/// The generator options: the host configuration's "SampleData", then the command line over it.
reporting::SampleDataOptions SampleOptions(const HostRuntime& host, const CommandOptions& options);
/// Writes a new sample database into the host's storage when none exists; false (and nothing written)
/// when it exists. Throws HostError naming the database.
bool GenerateIfMissing(HostRuntime& host, const CommandOptions& options, std::ostream& out);
/// Creates the view of the records the metrics do not cover (the stale records check reads it) when
/// absent; throws HostError naming the database.
void EnsureCoverageView(const reporting::StorageSettings& storage);
/// Records in the database; throws HostError when it cannot be read (a SQLite file: when it does not exist).
int64_t CountRecords(const reporting::StorageSettings& storage);
/// Pre-aggregates the overview metrics into the counters table; false when this build has no aggregator.
bool AggregateMetrics(HostRuntime& host, std::ostream& out);
/// Writes the fast method switch "on" to the overview settings. A module started afterwards reads it as
/// it starts (true at once); a running module that offers the fast method already needs no write; else
/// this waits (a few seconds at most) until the running module has heard it, false when it did not.
bool SwitchFastMethodOn(HostRuntime& host);
/// Whether the running module lets a request without a filter demand the fast method (one probe, no wait).
bool FastMethodOffered(HostRuntime& host);

}  // namespace cvn::hostmain
