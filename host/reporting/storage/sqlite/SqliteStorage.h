// The SQLite backend's registration (Backends.cpp lists it): kind "sqlite",
// the connection text is the database file's path.
#pragma once

#include "host/reporting/storage/Backends.h"

namespace cvn::reporting {

StorageBackend SqliteBackend() noexcept;

}  // namespace cvn::reporting
