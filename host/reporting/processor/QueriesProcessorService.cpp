// Building and registering the configured queries processor.
#include "host/reporting/processor/QueriesProcessorService.h"

namespace cvn::reporting {

ComPtr<CComponentObject<CQueriesProcessor>> CreateQueriesProcessor(const QxNodePtr& config)
{
    QueriesProcessorOptions options = ReadQueriesProcessorOptions(config);
    auto translator = std::make_shared<const QueryTranslator>(options.queryTemplates, DialectFor(options.storage));
    const StorageSettings storage = options.storage;
    const StorageOpenOptions open{.create = false, .busyTimeoutMs = options.busyTimeoutMs};
    return CreateComponent<CQueriesProcessor>(
        std::move(options), [translator](const QxNodePtr& query) { return translator->Translate(query); },
        [storage, open] { return OpenStorage(storage, open); });
}

ComPtr<CComponentObject<CQueriesProcessor>> RegisterQueriesProcessor(host::CServiceClient& client,
                                                                     const QxNodePtr& config)
{
    ComPtr<CComponentObject<CQueriesProcessor>> processor = CreateQueriesProcessor(config);
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
