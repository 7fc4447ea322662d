// Building and registering the configured queries processor.
#include "host/reporting/processor/QueriesProcessorService.h"

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/metrics/CountersQuery.h"
#include "host/reporting/query/QueryTemplates.h"

namespace cvn::reporting {

ComPtr<CComponentObject<CQueriesProcessor>> CreateQueriesProcessor(const QxNodePtr& config, ConnectionWrapper wrap)
{
    QueriesProcessorOptions options = ReadQueriesProcessorOptions(config);
    auto translator = std::make_shared<const QueryTranslator>(options.queryTemplates, DialectFor(options.storage));
    std::shared_ptr<const CountersQueryTranslator> counters;
    if (options.metrics) {
        counters = std::make_shared<const CountersQueryTranslator>(*translator, options.metrics);
    } else {
        for (const auto& [name, item] : ReadQueryTemplates(options.queryTemplates))
            if (!item.recordsTemplate.empty())
                ThrowHrWithDescription(kHrNotFound, "query template '" + name +
                                                        "' sums counters, but the queries processor has no Metrics child");
    }
    const StorageSettings storage = options.storage;
    const StorageOpenOptions open{.create = false,
                                  .busyTimeoutMs = options.busyTimeoutMs,
                                  .statementTimeoutMs = options.queryTimeLimitMs,
                                  .readyInterrupt = true,
                                  .maxResultRows = options.maxRows < INT64_MAX ? options.maxRows + 1 : 0};
    auto translate = [translator, counters](const QxNodePtr& query, IConnection& connection) {
        if (counters && counters->Serves(query)) return counters->Translate(query, ReadCountersCoverage(connection));
        return translator->Translate(query);
    };
    return CreateComponent<CQueriesProcessor>(std::move(options), std::move(translate),
                                              [storage, open, wrap = std::move(wrap)] {
                                                  std::unique_ptr<IConnection> connection = OpenStorage(storage, open);
                                                  return wrap ? wrap(std::move(connection)) : std::move(connection);
                                              });
}

ComPtr<CComponentObject<CQueriesProcessor>> RegisterQueriesProcessor(host::CServiceClient& client,
                                                                     const QxNodePtr& config, ConnectionWrapper wrap)
{
    ComPtr<CComponentObject<CQueriesProcessor>> processor = CreateQueriesProcessor(config, std::move(wrap));
    try {
        client.RegisterService(config.GetAttributeOr("Uri", "Service.QueriesProcessor"),
                               static_cast<IRequestProcessor*>(processor.Get()));
    } catch (...) {
        processor->Shutdown();
        throw;
    }
    return processor;
}

}  // namespace cvn::reporting
