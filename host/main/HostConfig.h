// The host configuration file: which services to run, the queries processor
// and database gate settings, and the module's components with their class
// identifiers and configuration nodes. docs/host.md describes the file.
// Thread safety: plain values, read once at start-up.
#pragma once

#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Platform.h"

namespace cvn::hostmain {

struct ComponentEntry {
    std::string instanceName;  ///< registered under it (SkRegisterNamedInstance)
    GUID classId{};
    QxNodePtr configuration;  ///< handed to Configure
};

struct HostConfig {
    std::string directory;              ///< of the host configuration file; relative names start here
    std::string moduleFile;             ///< absolute after Load
    std::string configStoreTemplate;    ///< absolute: copied into the data directory when absent there
    std::string configStoreFile;        ///< name inside the data directory
    std::string dsmInstanceName;
    std::string databaseFile;           ///< name inside the data directory
    std::string storageKind;            ///< the database's backend (checked; the default kind when not given)
    std::string storageConnection;      ///< its connection text; empty: databaseFile in the data directory
    std::string reportingSettingsPath;  ///< the store path whose database attributes the host keeps current
    std::string overviewSettingsPath;   ///< the store path whose switch turns the fast method on
    std::string fastSwitchAttribute;
    std::string demoRequestFile;        ///< absolute
    QxNodePtr queriesProcessor;         ///< its configuration node (the host fills in the database)
    QxNodePtr databaseGate;             ///< may be null
    QxNodePtr sampleData;               ///< "SampleData" node (Records, Days, Seed), may be null
    QxNodePtr httpApi;                  ///< "HttpApi" node of serve's settings, may be null
    std::vector<ComponentEntry> components;  ///< in creation order; shut down in reverse
};

/// Reads and checks the file. Throws HostError naming the file and the missing or malformed item.
HostConfig LoadHostConfig(const std::string& path);

/// The whole file as text; throws HostError naming the file when it cannot be read.
std::string ReadTextFile(const std::string& path);
/// path when absolute, else directory + "/" + path.
std::string ResolvePath(const std::string& directory, const std::string& path);

}  // namespace cvn::hostmain
