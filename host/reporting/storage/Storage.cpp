// The door to the reporting database: settings checked against the backends
// of Backends.cpp, connections and dialects by kind.
#include "host/reporting/storage/Storage.h"

#include <algorithm>
#include <cctype>

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/storage/Backends.h"

namespace cvn::reporting {

namespace {

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

const StorageBackend& BackendOf(std::string_view kind)
{
    const std::string wanted = Lower(kind);
    for (const StorageBackend& backend : StorageBackends())
        if (wanted == backend.kind) return backend;
    std::string known;
    for (const std::string& name : StorageKinds()) known += (known.empty() ? "" : ", ") + name;
    ThrowHrWithDescription(kHrInvalidData,
                           "the storage kind '" + std::string(kind) + "' is unknown; this build knows: " + known);
}

}  // namespace

std::vector<std::string> StorageKinds()
{
    std::vector<std::string> kinds;
    for (const StorageBackend& backend : StorageBackends()) kinds.emplace_back(backend.kind);
    return kinds;
}

StorageSettings ParseStorageSettings(std::string_view kind, std::string_view connection)
{
    StorageSettings settings{BackendOf(kind).kind, std::string(connection)};
    if (settings.connection.empty())
        ThrowHrWithDescription(kHrInvalidData, "the storage connection of kind '" + settings.kind + "' is empty");
    return settings;
}

StorageSettings StorageSettingsForFile(std::string path) { return {kDefaultStorageKind, std::move(path)}; }

std::optional<StorageSettings> ReadStorageSettings(const QxNodePtr& node)
{
    std::string connection;
    if (!node.GetAttribute("StorageConnection", connection) || connection.empty())
        if (!node.GetAttribute("DatabasePath", connection) || connection.empty()) return std::nullopt;
    return ParseStorageSettings(node.GetAttributeOr("StorageKind", kDefaultStorageKind), connection);
}

std::unique_ptr<IConnection> OpenStorage(const StorageSettings& settings, const StorageOpenOptions& options)
{
    return BackendOf(settings.kind).open(settings.connection, options);
}

const IDialect& DialectFor(const StorageSettings& settings) { return BackendOf(settings.kind).dialect(); }

}  // namespace cvn::reporting
