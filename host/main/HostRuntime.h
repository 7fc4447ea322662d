// The running host: its services (configuration store and server, service
// client, request contexts, change notifications), the queries processor and
// the database management gate on the reporting database, and the module's
// components created, configured and registered by instance name.
// Thread safety: Start and Stop from one thread; Process from any thread while
// started. Stop waits for every Process call in flight before it shuts down.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/main/HostConfig.h"
#include "host/main/ModuleLoader.h"
#include "host/reporting/gate/DatabaseManagementGate.h"
#include "host/reporting/processor/QueriesProcessor.h"
#include "host/reporting/storage/StorageSettings.h"
#include "host/services/HostServices.h"

namespace cvn::hostmain {

struct HostOptions {
    std::string configFile;     ///< the host configuration file
    std::string dataDirectory;  ///< created when missing; holds the store, the database and the logs
    /// Each connection the queries processor's workers open passes through it (empty: none does).
    reporting::ConnectionWrapper queriesConnection;
};

class HostRuntime {
public:
    HostRuntime() = default;
    /// Stop().
    ~HostRuntime();
    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;

    /// Reads the configuration and starts the host's services and the reporting services (not the
    /// module). Throws HostError naming what failed, and then leaves nothing running.
    void StartServices(const HostOptions& options);
    /// Loads the module and creates, configures and registers its components in configuration order.
    /// Throws HostError naming the component; what was made is taken down again.
    void StartModule();
    /// Waits for requests in flight, then: components' Shutdown and release in reverse order, the
    /// module's Terminate, the reporting services, the host's services (the store is saved). Idempotent.
    void Stop() noexcept;
    /// Whether StartModule has succeeded and Stop has not run since.
    bool ModuleStarted() const noexcept { return static_cast<bool>(m_gate); }

    /// One request through the gate's ProcessRequest, under a request context of its own that
    /// CancelRequests can cancel. Throws HostError when the gate returns a failure itself (no response),
    /// or when the host is stopping.
    QxNodePtr Process(const QxNodePtr& request);
    /// Cancels the requests in flight and every later one: a poll waiting for results answers status 2
    /// within one wait step instead of waiting for a query. For a stop signal; any thread.
    void CancelRequests() noexcept;

    const HostConfig& Config() const noexcept { return m_config; }
    const std::string& DataDirectory() const noexcept { return m_dataDirectory; }
    /// The SQLite file: the configured connection when it is of the default kind, else the database
    /// file in the data directory (what the module is told when another kind is used).
    std::string DatabasePath() const
    {
        return m_config.storageKind == reporting::kDefaultStorageKind && !m_config.storageConnection.empty()
                   ? m_config.storageConnection
                   : m_dataDirectory + "/" + m_config.databaseFile;
    }
    /// The reporting database as the configuration names it: by default the SQLite file DatabasePath().
    reporting::StorageSettings Storage() const
    {
        return {m_config.storageKind, m_config.storageConnection.empty() ? DatabasePath() : m_config.storageConnection};
    }
    /// The configuration store itself (for services that write their status); null when not started.
    IConfigStorage* ConfigStorage() const noexcept { return m_services.ConfigServer(); }
    /// The service client; null when not started. For a benchmark or test that puts a service of its
    /// own in front of a registered one.
    host::CServiceClient* ServiceClient() const noexcept { return m_services.ServiceClient(); }
    /// The queries processor service; null when not started. For diagnostics and tests.
    const reporting::CQueriesProcessor* QueriesProcessor() const noexcept { return m_queries.Get(); }
    /// Reads a node of the configuration store (null when absent); throws HostError.
    QxNodePtr ReadStore(const std::string& path) const;
    /// Writes a node at the path of the configuration store; throws HostError.
    void WriteStore(const std::string& path, const QxNodePtr& node) const;

private:
    struct Component {
        std::string name;
        ComPtr<IComponentBase> object;
        bool registered = false;
    };
    void StopComponents() noexcept;

    HostConfig m_config;
    std::string m_dataDirectory;
    host::HostServices m_services;
    ComPtr<CComponentObject<reporting::CQueriesProcessor>> m_queries;
    ComPtr<CComponentObject<reporting::CDatabaseManagementGate>> m_databaseGate;
    std::string m_queriesUri;
    std::string m_databaseGateUri;
    LoadedModule m_module;
    std::vector<Component> m_components;
    ComPtr<IRequestProcessor> m_gate;

    std::mutex m_lock;
    std::condition_variable m_idle;
    int m_inFlight = 0;
    bool m_stopping = false;
    bool m_cancelling = false;
    std::set<host::CRequestContext*> m_requests;  ///< contexts of the requests in flight
};

}  // namespace cvn::hostmain
