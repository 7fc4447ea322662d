// The queries processor's configuration node, read into plain options
// (docs/reporting-database.md lists the attributes).
// Thread safety: plain values; reading touches only the given node.
#pragma once

#include <cstdint>
#include <string>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/storage/StorageSettings.h"

namespace cvn::reporting {

struct QueriesProcessorOptions {
    std::string uri = "Service.QueriesProcessor";  ///< registered with "Core.ServiceClient" under it
    StorageSettings storage;                       ///< StorageKind/StorageConnection or DatabasePath; required
    int32_t workers = 2;                           ///< threads running queries, 1..64: the running limit
    int32_t maxQueuedQueries = 1024;               ///< waiting for a worker; more are answered busy
    int64_t queueWaitMs = 30000;                   ///< wait for a worker; then the query is answered busy
    int64_t pollWaitMs = 0;                        ///< a poll of an unfinished query waits this long for it
    int64_t maxRows = 100000;                      ///< rows of one result; more fail 0x80041911
    int64_t queryTimeLimitMs = 30000;              ///< running time of one query; longer fails 0x80041910
    int64_t resultTtlMs = 600000;                  ///< a query not polled for this long is dropped
    int32_t busyTimeoutMs = 5000;                  ///< wait for a locked database; then 0x80040C0B
    QxNodePtr queryTemplates;                      ///< the first child of type or name "QueryTemplates"
    QxNodePtr metrics;  ///< the first child of type or name "Metrics": what the counters templates count by
};

/// Reads the node (integers of any integer type). No database (neither StorageConnection nor
/// DatabasePath) or no QueryTemplates child: HRX 0x80070490; an unknown StorageKind, a value out of
/// its range: HRX 0x8007000D naming it. The retired MaxConcurrentQueries is only logged.
/// requireTemplates false lets tests that translate on their own leave the child out.
QueriesProcessorOptions ReadQueriesProcessorOptions(const QxNodePtr& config, bool requireTemplates = true);

}  // namespace cvn::reporting
