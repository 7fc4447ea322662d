// The database management gate's check of the reporting database.
#include "host/reporting/gate/DatabaseManagementGate.h"

#include <algorithm>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/Logging/Log.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

namespace {

// Opens the database and reads one record; throws HRX with the reporting codes.
void CheckDatabase(const QxNodePtr& settings, int32_t defaultBusyTimeoutMs)
{
    if (!settings.GetRequiredAttribute<bool>("Enabled"))
        ThrowReportingError(kHrReportingDisabled, "the reporting settings have Enabled false");
    const std::optional<StorageSettings> storage = ReadStorageSettings(settings);
    if (!storage)
        ThrowHrWithDescription(kHrNotFound, "The reporting settings name no database: 'DatabasePath' is missing");
    int64_t busyTimeoutMs = defaultBusyTimeoutMs;
    if (settings.HasAttribute("BusyTimeoutMs")) settings.GetAttribute("BusyTimeoutMs", busyTimeoutMs);
    busyTimeoutMs = std::clamp<int64_t>(busyTimeoutMs, 0, 600000);
    try {
        const std::unique_ptr<IConnection> connection =
            OpenStorage(*storage, {.create = false, .busyTimeoutMs = static_cast<int>(busyTimeoutMs)});
        const IDialect& sql = connection->Dialect();
        const std::unique_ptr<IStatement> statement = connection->Prepare(
            "SELECT 1 FROM " + sql.QuoteIdentifier(kAuditRecordsTable) + " " + sql.LimitClause(1, 0));
        statement->Next();
    } catch (const StorageError& error) {
        // A database without the records table is not a reporting database: unavailable, not a bad request.
        const HRESULT code =
            error.Kind() == StorageErrorKind::Invalid ? kHrDatabaseUnavailable : CodeOfStorageError(error.Kind());
        throw MakeReportingError(code, "'" + storage->connection + "': " + error.what());
    }
}

}  // namespace

DatabaseGateOptions ReadDatabaseGateOptions(const QxNodePtr& config)
{
    DatabaseGateOptions options;
    if (!config) return options;
    options.uri = config.GetAttributeOr("Uri", options.uri.c_str());
    if (config.HasAttribute("BusyTimeoutMs")) {
        int64_t value = 0;
        config.GetAttribute("BusyTimeoutMs", value);
        if (value < 0 || value > 600000)
            ThrowHrWithDescription(kHrInvalidData,
                                   "the gate's BusyTimeoutMs " + std::to_string(value) + " lies outside [0, 600000]");
        options.busyTimeoutMs = static_cast<int32_t>(value);
    }
    if (options.uri.empty()) ThrowHrWithDescription(kHrInvalidData, "the gate's Uri is empty");
    return options;
}

HRESULT CDatabaseManagementGate::ProcessRequest(IQxNode* request, IQxNode** response) noexcept
try {
    if (!request || !response) return E_POINTER;
    *response = nullptr;
    const QxNodePtr node(request);
    if (node.GetName() != "CheckDatabaseRequest")
        ThrowHrWithDescription(
            E_INVALIDARG,
            "The database management gate answers 'CheckDatabaseRequest' only; it got '" + node.GetName() + "'");
    const QxNodePtr settings = node.GetChild(uint64_t{0}, false);
    if (!settings) ThrowHrWithDescription(kHrNotFound, "The CheckDatabaseRequest carries no reporting settings node");
    if (!settings.HasAttribute("Enabled"))
        ThrowHrWithDescription(kHrNotFound, "The reporting settings node carries no 'Enabled'");

    const QxNodePtr answer = QxNodePtr::Create("CheckDatabaseResponse");
    HRX result;
    try {
        const int32_t adjustTarget = node.GetAttributeOr<int32_t>("AdjustTarget", 0);
        if (adjustTarget != 0)
            ThrowHrWithDescription(
                E_INVALIDARG, "AdjustTarget " + std::to_string(adjustTarget) + " is not supported; 0 (check only) is");
        CheckDatabase(settings, m_options.busyTimeoutMs);
    } catch (const HRX& error) {
        result = error;
        CV_LOG(Warn, "Reporting database check failed: " << error);
    }
    WriteResultToNode(answer, result, kResponseResultAttributes);
    *response = QxNodePtr(answer).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

ComPtr<CComponentObject<CDatabaseManagementGate>> RegisterDatabaseManagementGate(host::CServiceClient& client,
                                                                                 const QxNodePtr& config)
{
    DatabaseGateOptions options = ReadDatabaseGateOptions(config);
    const std::string uri = options.uri;
    ComPtr<CComponentObject<CDatabaseManagementGate>> gate =
        CreateComponent<CDatabaseManagementGate>(std::move(options));
    client.RegisterService(uri, gate.Get());
    return gate;
}

}  // namespace cvn::reporting
