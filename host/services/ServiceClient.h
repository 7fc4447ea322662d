// The host's service client ("Core.ServiceClient"): a registry of the
// services that run in this host, by URI, handing out their proxies.
// Thread safety: every method may be called from any thread at once.
#pragma once

#include <map>
#include <shared_mutex>
#include <string>

#include "common/Components/ComponentObject.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn::host {

class CServiceClient : public Implements<IServiceClient> {
public:
    /// Makes service reachable under uri (one reference kept). Throws HRX E_INVALIDARG for an empty
    /// uri or a null service, 0x800700B7 when the uri is taken.
    void RegisterService(const std::string& uri, IComponentBase* service);
    /// Forgets the uri; proxies handed out stay usable. Throws HRX 0x80070490 for an unknown uri.
    void UnregisterService(const std::string& uri);

    /// The registered service's riid interface: 0x80070490 for an unknown uri, E_NOINTERFACE when
    /// the service lacks riid, E_POINTER for null arguments.
    HRESULT CreateProxy(const char16_t* uri, uint32_t flags, const GUID* riid, void** proxy) noexcept override;

private:
    std::shared_mutex m_lock;
    std::map<std::string, ComPtr<IComponentBase>> m_services;
};

}  // namespace cvn::host
