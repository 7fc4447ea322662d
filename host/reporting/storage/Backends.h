// The storage backends OpenStorage chooses from: a kind, how to open a
// connection from its connection text, and its dialect. Backends.cpp holds the
// one list; each backend lives in a folder of its own below storage/.
// Thread safety: the list is built once and never changes.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

struct StorageBackend {
    const char* kind;  ///< lower case, as settings name it
    std::unique_ptr<IConnection> (*open)(const std::string& connection, const StorageOpenOptions& options);
    const IDialect& (*dialect)() noexcept;
    /// Why the connection text cannot serve, or empty; checked when settings are read, before the text
    /// is stored or shown anywhere. May be null: every text is tried when opening.
    std::string (*checkConnection)(const std::string& connection) = nullptr;
};

/// Every backend this build has, in registration order.
std::span<const StorageBackend> StorageBackends();

}  // namespace cvn::reporting
