// The one list of storage backends. Each line names a backend's registration
// function; a table rather than self-registration, because objects of a static
// library that nothing references are left out by the linker.
#include "host/reporting/storage/Backends.h"

#include "host/reporting/storage/clickhouse/ClickHouseStorage.h"
#include "host/reporting/storage/postgres/PostgresStorage.h"
#include "host/reporting/storage/sqlite/SqliteStorage.h"

namespace cvn::reporting {

std::span<const StorageBackend> StorageBackends()
{
    static const StorageBackend backends[] = {
        SqliteBackend(),
        PostgresBackend(),
        ClickHouseBackend(),
    };
    return backends;
}

}  // namespace cvn::reporting
