// The reporting database check against "Service.DatabaseManagementGate".
#include "module/OverviewReportsProcessing/Corvane/SqlConnectionVerifier.h"

#include "common/ErrorHandling/ResultCodes.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/Logging/Log.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "common/ServiceLayer/NamedServices.h"

namespace Corvane {

using namespace cvn;

SqlConnectionVerifier::SqlConnectionVerifier(std::string settingsPath, std::chrono::seconds cacheTime)
    : m_settingsPath(std::move(settingsPath)), m_cacheTime(cacheTime)
{
    const ComPtr<IServiceClient> client = GetNamedInstance<IServiceClient>(kServiceClientName);
    const std::u16string uri = ToUtf16(kDatabaseManagementGateUri);
    ThrowIfFailed(client->CreateProxy(uri.c_str(), 0, &IServiceProxy::kIid, m_gate.PutVoid()));
}

HRX SqlConnectionVerifier::CheckSqlConnection() noexcept
{
    CV_TRACE(Dbg, "SqlConnectionVerifier::CheckSqlConnection");
    std::lock_guard lock(m_mutex);
    if (m_cachedStatus.IsFailure() && m_cacheTime.count() > 0) {
        // Whole seconds, truncated: a clock set back gives a negative count and keeps the cache.
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(SystemNow() - m_lastCheck);
        if (elapsed < m_cacheTime) {
            CV_LOG(Dbg, "Cached connection status: " << m_cachedStatus);
            return m_cachedStatus;
        }
    }
    try {
        HRX status = AskDatabaseManagementGate();
        m_cachedStatus = status;
        m_lastCheck = SystemNow();
        CV_LOG(Dbg, "New connection status: " << status);
        return status;
    } catch (...) {
        // Logs the failure and leaves its error object on the thread, where the HRX takes it.
        return HRX(ResultFromCaughtException("SqlConnectionVerifier::CheckSqlConnection"));
    }
}

HRX SqlConnectionVerifier::AskDatabaseManagementGate()
{
    const QxNodePtr settings = ReadConfigNode(ConfigSource::ConfigServer, m_settingsPath, true);
    const QxNodePtr request = QxNodePtr::Create("CheckDatabaseRequest");
    request.SetAttribute("AdjustTarget", int32_t{0});
    const QxNodePtr copy = settings.Clone();
    ThrowIf(!copy.GetRequiredAttribute<bool>("Enabled"), kHrReportingDisabled);
    request.AddChild(copy);

    QxNodePtr answer;
    ThrowIfFailed(m_gate->ProcessRequest(request.Get(), answer.Reset()));
    if (!answer) return HRX();
    return ReadResultFromNode(answer, kResponseResultAttributes);
}

}  // namespace Corvane
