// How ClickHouse spells what differs between databases: names in backquotes,
// $N placeholders (bound as literals before a statement is sent), integer
// division for time buckets, no transactions.
// Thread safety: immutable; shared freely.
#pragma once

#include "host/reporting/storage/Storage.h"

namespace cvn::reporting::clickhouse {

const IDialect& Dialect() noexcept;

}  // namespace cvn::reporting::clickhouse
