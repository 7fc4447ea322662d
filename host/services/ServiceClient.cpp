// The host's service client. A proxy is the service object itself: services
// run in this process, so there is no transport to stand between them.
#include "host/services/ServiceClient.h"

#include <mutex>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::host {

void CServiceClient::RegisterService(const std::string& uri, IComponentBase* service)
{
    ThrowIf(uri.empty(), E_INVALIDARG, "a service needs a non-empty URI");
    if (!service) ThrowHrWithDescription(E_INVALIDARG, "no service object was given for '" + uri + "'");
    std::unique_lock lock(m_lock);
    if (!m_services.emplace(uri, ComPtr<IComponentBase>(service)).second)
        ThrowHrWithDescription(kHrAlreadyExists, "a service is already registered under '" + uri + "'");
}

void CServiceClient::UnregisterService(const std::string& uri)
{
    std::unique_lock lock(m_lock);
    if (m_services.erase(uri) == 0) ThrowHrWithDescription(kHrNotFound, "no service is registered under '" + uri + "'");
}

HRESULT CServiceClient::CreateProxy(const char16_t* uri, uint32_t, const GUID* riid, void** proxy) noexcept
try {
    if (!uri || !riid || !proxy) return E_POINTER;
    *proxy = nullptr;
    const std::string name = ToUtf8(uri);
    ComPtr<IComponentBase> service;
    {
        std::shared_lock lock(m_lock);
        const auto found = m_services.find(name);
        if (found != m_services.end()) service = found->second;
    }
    if (!service) ThrowHrWithDescription(kHrNotFound, "no service is registered under '" + name + "'");
    const HRESULT hr = service->QueryInterface(riid, proxy);
    if (hr == E_NOINTERFACE)
        ThrowHrWithDescription(hr, "the service '" + name + "' does not offer the requested interface");
    return hr;
}
CV_CATCH_RETURN()

}  // namespace cvn::host
