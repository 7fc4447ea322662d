// SqlConnectionVerifier: asks the host's database management gate whether the
// reporting database can be reached, and keeps a failed answer for a while so
// that a burst of requests does not hammer an unreachable database.
// Thread safety: CheckSqlConnection may be called from any thread; checks run one at a time.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/Clock.h"
#include "corvane/ComPtr.h"
#include "corvane/Components.h"

namespace Corvane {

class SqlConnectionVerifier {
public:
    static constexpr const char* kDatabaseManagementGateUri = "Service.DatabaseManagementGate";

    /// Gets the proxy of the database management gate through "Core.ServiceClient"; throws HRX when
    /// either cannot be reached, and no verifier is made.
    SqlConnectionVerifier(std::string settingsPath, std::chrono::seconds cacheTime);

    /// The connection status: code 0 when reachable, else the failure with its error object. A failure
    /// the database management gate reported is kept for the cache time; failures to ask are not.
    /// Never throws.
    cvn::HRX CheckSqlConnection() noexcept;

private:
    cvn::HRX AskDatabaseManagementGate();

    cvn::ComPtr<cvn::IServiceProxy> m_gate;
    std::string m_settingsPath;
    std::mutex m_mutex;
    cvn::SystemTimePoint m_lastCheck{};
    std::chrono::seconds m_cacheTime;
    cvn::HRX m_cachedStatus;
};

}  // namespace Corvane
