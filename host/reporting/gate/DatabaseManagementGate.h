// The database management gate service ("Service.DatabaseManagementGate"):
// answers "CheckDatabaseRequest" by opening the reporting database that the
// request's settings node names ("StorageKind" and "StorageConnection", or the
// SQLite file "DatabasePath") and running a trivial statement on it.
// Thread safety: ProcessRequest may be called from any thread at once; each
// check opens a connection of its own.
#pragma once

#include <cstdint>
#include <string>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ComPtr.h"
#include "corvane/Components.h"
#include "host/services/ServiceClient.h"

namespace cvn::reporting {

struct DatabaseGateOptions {
    std::string uri = "Service.DatabaseManagementGate";
    int32_t busyTimeoutMs = 2000;  ///< used when the settings node gives no BusyTimeoutMs
};

/// Reads "Uri" and "BusyTimeoutMs" of the gate's configuration node (null: the defaults); a value out
/// of range: HRX 0x8007000D.
DatabaseGateOptions ReadDatabaseGateOptions(const QxNodePtr& config);

class CDatabaseManagementGate : public Implements<IRequestProcessor> {
public:
    explicit CDatabaseManagementGate(DatabaseGateOptions options = {}) : m_options(std::move(options)) {}

    /// "CheckDatabaseRequest" with 32-bit "AdjustTarget" 0 and the reporting settings as its child:
    /// answers "CheckDatabaseResponse" with "ResponseResult" 0, or the failure and "ErrSerialized":
    /// 0x80040C03 disabled, 0x80040C0A cannot be opened or holds no reporting schema, 0x80040C0B busy,
    /// 0x80070490 no "DatabasePath" (nor "StorageConnection"), 0x8007000D an unknown "StorageKind",
    /// E_INVALIDARG another AdjustTarget. A request of another name, or
    /// without the settings child or its "Enabled", fails the call itself (E_INVALIDARG, 0x80070490).
    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override;

private:
    const DatabaseGateOptions m_options;
};

/// Creates the gate from its configuration node (may be null) and registers it under its Uri
/// (a taken Uri: HRX 0x800700B7).
ComPtr<CComponentObject<CDatabaseManagementGate>> RegisterDatabaseManagementGate(host::CServiceClient& client,
                                                                                 const QxNodePtr& config);

}  // namespace cvn::reporting
