// The host's own services, created and registered together.
#include "host/services/HostServices.h"

#include <filesystem>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "common/Logging/Log.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/NamedInstances.h"

namespace cvn::host {

HostServices::~HostServices() { Stop(); }

void HostServices::Register(const std::u16string& name, IComponentBase* object)
{
    const HRESULT hr = SkRegisterNamedInstance(name.c_str(), object);
    if (Failed(hr))
        ThrowHrWithDescription(hr, "cannot register the host service '" + ToUtf8(name) + "'" +
                                       (hr == kHrAlreadyExists ? ": the name is already taken" : ""));
    m_registered.push_back(name);
}

void HostServices::Start(const HostServicesOptions& options)
{
    ThrowIf(IsStarted(), E_ILLEGAL_METHOD_CALL, "the host services are already started");
    ThrowIf(options.dsmInstanceName.empty(), E_INVALIDARG, "the change notification source needs an instance name");
    m_options = options;
    ScopeExit stopStarted([this] {
        m_options.flushOnStop = false;  // a half-started store must not overwrite its file
        Stop();
    });
    {
        auto configServer = CreateComponent<CConfigServer>(options.configFile);
        if (!options.configFile.empty() &&
            !(options.configFileMayBeMissing && !std::filesystem::exists(options.configFile)))
            configServer->Load();
        m_configServer = configServer;
        m_serviceClient = CreateComponent<CServiceClient>();
        m_requestContexts = CreateComponent<CRequestContextMgr>();
        m_dsm = CreateComponent<CDsmNotifications>();

        Register(kAppConfigStorageName, static_cast<IConfigStorage*>(m_configServer.Get()));
        Register(kConfigServerName, static_cast<IConfigStorage*>(m_configServer.Get()));
        Register(kServiceClientName, m_serviceClient.Get());
        Register(kRequestContextMgrName, m_requestContexts.Get());
        Register(options.dsmInstanceName, m_dsm.Get());
    }
    stopStarted.Dismiss();
}

HRESULT HostServices::Stop() noexcept
{
    for (const std::u16string& name : m_registered) SkUnregisterNamedInstance(name.c_str());
    m_registered.clear();

    HRESULT result = S_OK;
    if (m_configServer) {
        if (m_options.flushOnStop && !m_configServer->File().empty()) {
            result = m_configServer->Flush(0);
            if (Failed(result)) CV_LOG(Err, "The configuration store could not be saved at stop");
        }
        m_configServer->Shutdown();
    }
    if (m_dsm) m_dsm->UnsubscribeAll();
    m_configServer.Reset();
    m_serviceClient.Reset();
    m_requestContexts.Reset();
    m_dsm.Reset();
    return Failed(result) ? result : S_OK;
}

}  // namespace cvn::host
