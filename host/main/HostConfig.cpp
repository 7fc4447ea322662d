// Reading the host configuration file.
#include "host/main/HostConfig.h"

#include <fstream>
#include <sstream>

#include "common/Helpers/PrimitiveText.h"
#include "host/main/HostError.h"
#include "host/main/ModuleLoader.h"
#include "host/reporting/storage/StorageSettings.h"

namespace cvn::hostmain {

namespace {

std::string Required(const QxNodePtr& node, const std::string& where, const char* attribute)
{
    std::string value;
    if (!node.GetAttribute(attribute, value) || value.empty())
        throw HostError(where + ": the string attribute \"" + attribute + "\" is missing or empty");
    return value;
}

QxNodePtr RequiredChild(const QxNodePtr& node, const std::string& where, const char* name)
{
    QxNodePtr child = node.GetChild(name, false);
    if (!child) throw HostError(where + ": the child node \"" + name + "\" is missing");
    return child;
}

}  // namespace

std::string ReadTextFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw HostError("cannot read '" + path + "'");
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) throw HostError("cannot read '" + path + "'");
    return text.str();
}

std::string ResolvePath(const std::string& directory, const std::string& path)
{
    if (path.empty() || path.front() == '/') return path;
    return directory + "/" + path;
}

HostConfig LoadHostConfig(const std::string& path)
{
    const std::string where = "host configuration '" + path + "'";
    QxNodePtr root;
    try {
        root = QxNodePtr::Parse(ReadTextFile(path));
    } catch (const HostError&) {
        throw;
    } catch (...) {
        throw HostError(where + ": " + CurrentErrorText());
    }
    HostConfig config;
    const size_t slash = path.rfind('/');
    config.directory = slash == std::string::npos ? "." : path.substr(0, slash);
    try {
        config.moduleFile = root.GetAttributeOr("ModuleFile", "libcorvane.so");
        config.moduleFile = ResolvePath(ExecutableDirectory(), config.moduleFile);

        const QxNodePtr store = RequiredChild(root, where, "ConfigStore");
        config.configStoreTemplate = ResolvePath(config.directory, Required(store, where + ", ConfigStore", "Template"));
        config.configStoreFile = Required(store, where + ", ConfigStore", "File");
        config.dsmInstanceName = store.GetAttributeOr("DsmInstanceName", "Dsm.Notifications");
        config.reportingSettingsPath = Required(store, where + ", ConfigStore", "ReportingSettingsPath");
        config.overviewSettingsPath = Required(store, where + ", ConfigStore", "OverviewSettingsPath");
        config.fastSwitchAttribute = Required(store, where + ", ConfigStore", "FastMethodSwitch");

        const QxNodePtr database = RequiredChild(root, where, "Database");
        config.databaseFile = Required(database, where + ", Database", "File");
        config.storageConnection = database.GetAttributeOr("StorageConnection", "");
        // Checked here, so an unknown kind stops the host before anything starts.
        config.storageKind = reporting::ParseStorageSettings(database.GetAttributeOr("StorageKind", reporting::kDefaultStorageKind),
                                                             config.storageConnection.empty() ? config.databaseFile
                                                                                              : config.storageConnection)
                                 .kind;
        config.sampleData = database.GetChild("SampleData", false);

        config.queriesProcessor = RequiredChild(root, where, "QueriesProcessor").Clone();
        config.databaseGate = root.GetChild("DatabaseManagementGate", false);
        config.httpApi = root.GetChild("HttpApi", false);
        config.demoRequestFile = ResolvePath(config.directory, root.GetAttributeOr("DemoRequest", "dashboard.xml"));

        const QxNodePtr components = RequiredChild(root, where, "Components");
        for (const QxNodePtr& child : components.GetChildren()) {
            const std::string name = child.GetName();
            const std::string at = where + ", component '" + name + "'";
            if (child.GetType() != "Component") throw HostError(at + ": expected a node of type \"Component\"");
            if (name.empty()) throw HostError(where + ": a component has no name");
            ComponentEntry entry;
            entry.instanceName = name;
            if (!ParseGuidText(Required(child, at, "ClassId"), entry.classId))
                throw HostError(at + ": \"ClassId\" is not a GUID");
            entry.configuration = RequiredChild(child, at, "Configuration");
            config.components.push_back(std::move(entry));
        }
        if (config.components.empty()) throw HostError(where + ": \"Components\" lists no component");
    } catch (const HostError&) {
        throw;
    } catch (...) {
        throw HostError(where + ": " + CurrentErrorText());
    }
    return config;
}

}  // namespace cvn::hostmain
