// The reporting storage on a ClickHouse cluster (kind "clickhouse") over its
// HTTP interface. The connection text names the servers, the user, a password
// file, the cluster and the database (ParseConnection); it must not hold a
// password. Each server holds its shard of the records and of the counters;
// the tables the statements read are Distributed over them, and materialized
// views count every record into the counters as it is inserted.
#pragma once

#include "host/reporting/storage/Backends.h"

namespace cvn::reporting {

StorageBackend ClickHouseBackend() noexcept;

}  // namespace cvn::reporting
