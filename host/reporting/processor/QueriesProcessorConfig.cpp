// Reading the queries processor's configuration node.
#include "host/reporting/processor/QueriesProcessorConfig.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"

namespace cvn::reporting {

namespace {

// An integer attribute of any stored integer type, checked against [low, high].
int64_t ReadInteger(const QxNodePtr& config, const char* name, int64_t fallback, int64_t low, int64_t high)
{
    if (!config.HasAttribute(name)) return fallback;
    int64_t value = 0;
    try {
        config.GetAttribute(name, value);
    } catch (const HRX&) {
        ThrowHrWithDescription(kHrInvalidData, std::string("the queries processor's ") + name + " is not an integer");
    }
    if (value < low || value > high)
        ThrowHrWithDescription(kHrInvalidData, std::string("the queries processor's ") + name + " is " +
                                                   std::to_string(value) + "; it must lie in [" + std::to_string(low) +
                                                   ", " + std::to_string(high) + "]");
    return value;
}

}  // namespace

QueriesProcessorOptions ReadQueriesProcessorOptions(const QxNodePtr& config, bool requireTemplates)
{
    if (!config) ThrowHrWithDescription(kHrNotFound, "the queries processor has no configuration node");
    QueriesProcessorOptions options;
    options.uri = config.GetAttributeOr("Uri", options.uri.c_str());
    if (options.uri.empty()) ThrowHrWithDescription(kHrInvalidData, "the queries processor's Uri is empty");
    std::optional<StorageSettings> storage = ReadStorageSettings(config);
    if (!storage)
        ThrowHrWithDescription(kHrNotFound, "the queries processor's DatabasePath is missing");
    options.storage = std::move(*storage);
    constexpr int64_t kDay = 86400000;
    options.workers = static_cast<int32_t>(ReadInteger(config, "Workers", options.workers, 1, 64));
    // It used to bound queued and running queries together. A configuration written for that still
    // starts; the log says what replaced it.
    if (config.HasAttribute("MaxConcurrentQueries"))
        CV_LOG(Warn, "The queries processor's MaxConcurrentQueries is no longer read: Workers bound the queries "
                     "running, MaxQueuedQueries and QueueWaitMs the queries waiting for a worker");
    options.maxQueuedQueries =
        static_cast<int32_t>(ReadInteger(config, "MaxQueuedQueries", options.maxQueuedQueries, 0, 1000000));
    options.queueWaitMs = ReadInteger(config, "QueueWaitMs", options.queueWaitMs, 1, kDay);
    options.pollWaitMs = ReadInteger(config, "PollWaitMs", options.pollWaitMs, 0, 10000);
    options.maxRows = ReadInteger(config, "MaxRows", options.maxRows, 1, INT64_MAX);
    options.queryTimeLimitMs = ReadInteger(config, "QueryTimeLimitMs", options.queryTimeLimitMs, 1, kDay);
    options.resultTtlMs = ReadInteger(config, "ResultTtlMs", options.resultTtlMs, 1, 7 * kDay);
    options.busyTimeoutMs =
        static_cast<int32_t>(ReadInteger(config, "BusyTimeoutMs", options.busyTimeoutMs, 0, 600000));
    for (const QxNodePtr& child : config.GetChildren()) {
        const auto is = [&](const char* name) { return child.GetType() == name || child.GetName() == name; };
        if (is("QueryTemplates") && !options.queryTemplates) options.queryTemplates = child;
        if (is("Metrics") && !options.metrics) options.metrics = child;
    }
    if (requireTemplates && !options.queryTemplates)
        ThrowHrWithDescription(kHrNotFound, "the queries processor's QueryTemplates child is missing");
    return options;
}

}  // namespace cvn::reporting
