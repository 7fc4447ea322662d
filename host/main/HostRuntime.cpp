// Start-up and shutdown of the host, in the order the services depend on each other.
#include "host/main/HostRuntime.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/ServiceLayer/NamedServices.h"
#include "common/ServiceLayer/RequestContext.h"
#include "corvane/NamedInstances.h"
#include "host/main/HostError.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/processor/QueriesProcessorService.h"

namespace cvn::hostmain {

namespace {

void MakeDirectory(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error || !std::filesystem::is_directory(path))
        throw HostError("cannot create the data directory '" + path + "': " +
                        (error ? error.message() : std::string("not a directory")));
}

template <class I>
ComPtr<I> Query(const ComPtr<IComponentBase>& object)
{
    ComPtr<I> result;
    object.As(result);
    return result;
}

}  // namespace

HostRuntime::~HostRuntime() { Stop(); }

void HostRuntime::StartServices(const HostOptions& options)
{
    if (m_services.IsStarted()) throw HostError("the host is already started");
    m_config = LoadHostConfig(options.configFile);
    MakeDirectory(options.dataDirectory);
    m_dataDirectory = std::filesystem::absolute(options.dataDirectory).lexically_normal().string();
    if (!m_dataDirectory.empty() && m_dataDirectory.back() == '/') m_dataDirectory.pop_back();
    // The module's log goes below the data directory unless the caller placed it elsewhere.
    setenv("GS_General_DataDirectoryPath", m_dataDirectory.c_str(), 0);

    const std::string storeFile = m_dataDirectory + "/" + m_config.configStoreFile;
    if (!std::filesystem::exists(storeFile)) {
        std::error_code error;
        std::filesystem::copy_file(m_config.configStoreTemplate, storeFile, error);
        if (error)
            throw HostError("cannot copy the configuration store '" + m_config.configStoreTemplate + "' to '" +
                            storeFile + "': " + error.message());
    }
    try {
        m_services.Start({.configFile = storeFile, .dsmInstanceName = ToUtf16(m_config.dsmInstanceName)});
        // The gate's checks and the queries use the database the host configuration names; the storage
        // attributes say which, DatabasePath stays the SQLite file the module has always been told.
        const reporting::StorageSettings storage = Storage();
        const auto nameDatabase = [&](const QxNodePtr& node) {
            node.SetAttribute("DatabasePath", DatabasePath());
            node.SetAttribute("StorageKind", storage.kind);
            node.SetAttribute("StorageConnection", storage.connection);
        };
        QxNodePtr reporting = ReadStore(m_config.reportingSettingsPath);
        if (!reporting)
            throw HostError("configuration store '" + storeFile + "': nothing at '" + m_config.reportingSettingsPath +
                            "' (the reporting settings)");
        nameDatabase(reporting);
        WriteStore(m_config.reportingSettingsPath, reporting);

        const QxNodePtr queriesConfig = m_config.queriesProcessor.Clone();
        nameDatabase(queriesConfig);
        // Queries on the counters are answered by the configuration the aggregator counts by.
        if (const QxNodePtr metrics = ReadStore(reporting::kMetricsConfigurationPath)) {
            const QxNodePtr copy = metrics.Clone();
            copy.SetName("Metrics");
            queriesConfig.AddChild(copy);
        }
        m_queriesUri = queriesConfig.GetAttributeOr("Uri", "Service.QueriesProcessor");
        m_queries = reporting::RegisterQueriesProcessor(*m_services.ServiceClient(), queriesConfig,
                                                       options.queriesConnection);
        m_databaseGateUri = m_config.databaseGate ? m_config.databaseGate.GetAttributeOr("Uri", "Service.DatabaseManagementGate")
                                                  : std::string("Service.DatabaseManagementGate");
        m_databaseGate = reporting::RegisterDatabaseManagementGate(*m_services.ServiceClient(), m_config.databaseGate);
    } catch (...) {
        const std::string text = CurrentErrorText();
        Stop();
        throw HostError("cannot start the host's services: " + text);
    }
}

void HostRuntime::StartModule()
{
    if (!m_services.IsStarted()) throw HostError("the host's services are not started");
    if (m_module.IsLoaded()) return;
    try {
        m_module.Load(m_config.moduleFile);
        for (const ComponentEntry& entry : m_config.components) {
            const std::string what = "component '" + entry.instanceName + "'";
            Component component{entry.instanceName, m_module.Create(entry.classId, what)};
            m_components.push_back(component);
            const auto configurable = Query<IConfigurableComponent>(component.object);
            if (!configurable) throw HostError(what + " cannot be configured (no configuration interface)");
            const HRESULT configured = configurable->Configure(entry.configuration.Get());
            // The component's error object says which item is missing or bad.
            if (configured < 0)
                throw HostError(what + " refused its configuration: " + SerializeCurrentError(configured));
            // Visible by name only once configured, so no request meets a half-made component.
            const HRESULT registered = SkRegisterNamedInstance(ToUtf16(entry.instanceName).c_str(), component.object.Get());
            if (registered < 0) throw HostError(what + " cannot be registered by name: " + HrToText(registered));
            m_components.back().registered = true;
            if (!m_gate) m_gate = Query<IRequestProcessor>(component.object);
        }
        if (!m_gate) throw HostError("no configured component answers requests (none is a request processor)");
    } catch (...) {
        const std::string text = CurrentErrorText();
        StopComponents();
        throw HostError(text);
    }
}

QxNodePtr HostRuntime::Process(const QxNodePtr& request)
{
    host::CRequestContextMgr* contexts = m_services.RequestContexts();
    if (!contexts) throw HostError("the host is not running");
    // The module asks the current request context of its calling thread whether the caller gave up.
    const auto context = contexts->CreateContext(kRequestContextCurrent, "corvane-host");
    {
        std::lock_guard guard(m_lock);
        if (m_stopping || !m_gate) throw HostError("the host is not running");
        ++m_inFlight;
        m_requests.insert(context.Get());
        if (m_cancelling) context->Cancel();
    }
    ComPtr<IRequestContext> previous;
    const HRESULT bound = contexts->SetContext(kRequestContextCurrent, context.Get(), previous.Put());
    IQxNode* raw = nullptr;
    const HRESULT processed = m_gate->ProcessRequest(request.Get(), &raw);
    QxNodePtr response(raw, QxNodePtr::Attach{});
    if (bound >= 0) contexts->SetContext(kRequestContextCurrent, previous.Get(), nullptr);
    {
        std::lock_guard guard(m_lock);
        m_requests.erase(context.Get());
        if (--m_inFlight == 0) m_idle.notify_all();
    }
    if (processed < 0 || !response)
        throw HostError("the gate refused the request: " + (processed < 0 ? SerializeCurrentError(processed) : "no answer"),
                        kExitFailedAnswer);
    return response;
}

void HostRuntime::CancelRequests() noexcept
{
    std::lock_guard guard(m_lock);
    m_cancelling = true;
    for (host::CRequestContext* context : m_requests) context->Cancel();
}

QxNodePtr HostRuntime::ReadStore(const std::string& path) const
{
    try {
        return ReadConfigNode(ConfigSource::ConfigServer, path, false);
    } catch (...) {
        throw HostError("cannot read '" + path + "' from the configuration store: " + CurrentErrorText());
    }
}

void HostRuntime::WriteStore(const std::string& path, const QxNodePtr& node) const
{
    try {
        WriteConfigNode(ConfigSource::ConfigServer, path, node);
    } catch (...) {
        throw HostError("cannot write '" + path + "' to the configuration store: " + CurrentErrorText());
    }
}

void HostRuntime::StopComponents() noexcept
{
    {
        std::unique_lock guard(m_lock);
        m_stopping = true;
        m_idle.wait(guard, [this] { return m_inFlight == 0; });
    }
    m_gate.Reset();
    for (auto it = m_components.rbegin(); it != m_components.rend(); ++it) {
        if (it->registered) SkUnregisterNamedInstance(ToUtf16(it->name).c_str());
        if (const auto withShutdown = Query<IComponentWithShutdown>(it->object)) withShutdown->Shutdown();
    }
    // Released after every Shutdown: the gate's contexts free their results at the queries processor.
    while (!m_components.empty()) m_components.pop_back();
    m_module.Unload();
    std::lock_guard guard(m_lock);
    m_stopping = false;
}

void HostRuntime::Stop() noexcept
{
    StopComponents();
    {
        std::lock_guard guard(m_lock);
        m_stopping = true;
    }
    if (m_queries) m_queries->Shutdown();
    if (m_services.IsStarted()) {
        for (const auto& [uri, registered] : {std::pair{m_queriesUri, bool(m_queries)}, {m_databaseGateUri, bool(m_databaseGate)}}) {
            try {
                if (registered) m_services.ServiceClient()->UnregisterService(uri);
            } catch (...) {
            }
        }
    }
    m_queries.Reset();
    m_databaseGate.Reset();
    m_services.Stop();
}

}  // namespace cvn::hostmain
