// The host's own services in one place: creates the configuration store and
// server, the service client, the request context manager and the change
// notification source, and registers them under their instance names.
// Thread safety: Start and Stop from one thread; the services themselves may
// be used from any thread while started. Instance names are process-wide, so
// one HostServices is started at a time.
#pragma once

#include <string>

#include "corvane/ComPtr.h"
#include "host/services/ConfigServer.h"
#include "host/services/DsmNotifications.h"
#include "host/services/RequestContextMgr.h"
#include "host/services/ServiceClient.h"

namespace cvn::host {

inline constexpr char16_t kAppConfigStorageName[] = u"Base.AppConfigStorage";
inline constexpr char16_t kConfigServerName[] = u"ConfigServer.Proxy";
inline constexpr char16_t kServiceClientName[] = u"Core.ServiceClient";
inline constexpr char16_t kRequestContextMgrName[] = u"Core.RequestContextMgr";

struct HostServicesOptions {
    std::string configFile;                              ///< empty: a store in memory only
    bool configFileMayBeMissing = false;                 ///< start empty (and create it on flush) when absent
    bool flushOnStop = true;                             ///< write the store back to its file in Stop
    std::u16string dsmInstanceName = u"Dsm.Notifications";  ///< the name modules configure as "DSMInstName"
};

class HostServices {
public:
    HostServices() = default;
    /// Stop().
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    /// Loads the store and registers every service. Throws HRX (a bad file names file, line and
    /// column; a taken name gives 0x800700B7) and then leaves nothing registered.
    void Start(const HostServicesOptions& options);
    /// Unregisters the services, ends subscriptions and flushes the store when asked; S_OK, or the
    /// flush failure (logged). A second call does nothing.
    HRESULT Stop() noexcept;
    bool IsStarted() const noexcept { return static_cast<bool>(m_configServer); }

    /// The services; null before Start and after Stop.
    CComponentObject<CConfigServer>* ConfigServer() const noexcept { return m_configServer.Get(); }
    CComponentObject<CServiceClient>* ServiceClient() const noexcept { return m_serviceClient.Get(); }
    CComponentObject<CRequestContextMgr>* RequestContexts() const noexcept { return m_requestContexts.Get(); }
    CComponentObject<CDsmNotifications>* DsmNotifications() const noexcept { return m_dsm.Get(); }

private:
    void Register(const std::u16string& name, IComponentBase* object);

    HostServicesOptions m_options;
    std::vector<std::u16string> m_registered;
    ComPtr<CComponentObject<CConfigServer>> m_configServer;
    ComPtr<CComponentObject<CServiceClient>> m_serviceClient;
    ComPtr<CComponentObject<CRequestContextMgr>> m_requestContexts;
    ComPtr<CComponentObject<CDsmNotifications>> m_dsm;
};

}  // namespace cvn::host
