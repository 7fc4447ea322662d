// Building and registering the configured queries processor.
#include "host/reporting/processor/QueriesProcessorService.h"

namespace cvn::reporting {

ComPtr<CComponentObject<CQueriesProcessor>> CreateQueriesProcessor(const QxNodePtr& config)
{
    QueriesProcessorOptions options = ReadQueriesProcessorOptions(config);
    auto translator = std::make_shared<const QueryTranslator>(options.queryTemplates, SqliteDialect());
    const std::string path = options.databasePath;
    const int busyTimeoutMs = options.busyTimeoutMs;
    return CreateComponent<CQueriesProcessor>(
        std::move(options), [translator](const QxNodePtr& query) { return translator->Translate(query); },
        [path, busyTimeoutMs] { return OpenSqlite(path, false, busyTimeoutMs); });
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
