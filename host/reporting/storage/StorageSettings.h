// Where the reporting database lives: a backend kind and its connection text
// (for SQLite, the file's path). Settings nodes name them "StorageKind" and
// "StorageConnection"; a node with "DatabasePath" alone names a SQLite file,
// as it always has. Backends.cpp lists the kinds.
// Thread safety: plain values; the functions touch only their arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::reporting {

/// The kind a DatabasePath names and the kind when a node names none.
inline constexpr const char* kDefaultStorageKind = "sqlite";

struct StorageSettings {
    std::string kind = kDefaultStorageKind;  ///< a registered backend, lower case
    std::string connection;                  ///< the backend's connection text (SQLite: the file path)
    bool operator==(const StorageSettings&) const = default;
};

/// The registered kinds, in registration order.
std::vector<std::string> StorageKinds();

/// Checked settings: the kind (any case) must be registered and the connection must not be empty.
/// Throws HRX 0x8007000D naming an unknown kind and the known ones, or the empty connection.
StorageSettings ParseStorageSettings(std::string_view kind, std::string_view connection);

/// The database file as settings of the default kind.
StorageSettings StorageSettingsForFile(std::string path);

/// From a settings node: "StorageKind" (default kind when absent) with "StorageConnection", or with
/// "DatabasePath" when it gives no connection. Empty when the node names neither; HRX 0x8007000D as
/// for ParseStorageSettings.
std::optional<StorageSettings> ReadStorageSettings(const QxNodePtr& node);

}  // namespace cvn::reporting
