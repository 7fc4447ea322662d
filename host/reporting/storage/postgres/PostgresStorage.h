// The reporting storage on a PostgreSQL server (kind "postgresql"). The
// connection text is libpq's (key=value pairs or a postgresql:// URI) and must
// not hold a password: it reaches logs and messages. The password comes from
// a pgpass file (passfile=..., PGPASSFILE, ~/.pgpass) or PGPASSWORD.
#pragma once

#include "host/reporting/storage/Backends.h"

namespace cvn::reporting {

StorageBackend PostgresBackend() noexcept;

}  // namespace cvn::reporting
