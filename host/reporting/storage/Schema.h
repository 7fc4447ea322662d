// The reporting database's schema: the audited records, the overview counters
// table named by the metrics configuration, and the aggregator's state table
// (docs/reporting-database.md describes them).
// Thread safety: the names are constants; the functions use only the given
// connection, which serves one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// The audited records: one row per change.
inline constexpr const char* kAuditRecordsTable = "AuditRecords";
namespace RecordColumns {
inline constexpr const char* kId = "Id";                              ///< INTEGER PRIMARY KEY
inline constexpr const char* kWhen = "When";                          ///< INTEGER, unix seconds UTC
inline constexpr const char* kProductId = "ProductId";                ///< TEXT
inline constexpr const char* kAuditingSystem = "AuditingSystem";      ///< INTEGER, the product's number
inline constexpr const char* kDataSource = "DataSource";              ///< TEXT, braced upper-case GUID
inline constexpr const char* kManagedObjectUId = "ManagedObjectUId";  ///< TEXT, braced upper-case GUID
inline constexpr const char* kManagedObject = "ManagedObject";        ///< TEXT, the monitoring plan's name
inline constexpr const char* kWho = "Who";
inline constexpr const char* kWhere = "Where";
inline constexpr const char* kObjectType = "ObjectType";
inline constexpr const char* kWhatAction = "What_Action";
inline constexpr const char* kWhat = "What";
}  // namespace RecordColumns

/// The record columns after "Id", in table order (the order the sample generator inserts them).
const std::vector<std::string>& AuditRecordColumns();

/// The aggregator's progress: "Key" TEXT PRIMARY KEY, "Value" TEXT.
inline constexpr const char* kAggregationStateTable = "AggregationState";

inline constexpr const char* kDefaultCountersTableName = "OverviewCounters";
inline constexpr const char* kDefaultSpanColumnName = "Span";
/// The counters' bucket lengths, shortest first, each a multiple of the one before; a bucket starts
/// on a multiple of its length (unix seconds, so days are UTC days). Every hour has its row, and every
/// longer bucket that lies wholly from the metrics start on: a range is then summed from a few long
/// buckets in its middle and shorter ones towards its edges.
inline constexpr int64_t kCounterSpans[] = {3600, 4 * 3600, 86400, 4 * 86400, 16 * 86400};
inline constexpr int64_t kHourSpan = kCounterSpans[0];

/// The overview counters table as the metrics configuration names it.
struct CountersTableLayout {
    std::string table = kDefaultCountersTableName;
    std::string idColumn;                   ///< INTEGER PRIMARY KEY
    std::string maskColumn;                 ///< INTEGER, the group mask
    std::string conditionIdColumn;          ///< INTEGER, the preset condition id
    std::string countColumn;                ///< INTEGER
    std::string timestampColumn;            ///< INTEGER, the bucket's start in unix seconds UTC
    std::string spanColumn = kDefaultSpanColumnName;  ///< INTEGER, the bucket's length, one of kCounterSpans
    std::vector<std::string> groupColumns;  ///< TEXT, in configuration order
};

/// Reads IdColumnName, MaskColumnName, ConditionIdColumnName, CountColumnName, TimestampColumnName,
/// GroupColumns and the optional CountersTableName and SpanColumnName of the metrics configuration node. A missing item:
/// HRX 0x80070490; an empty or repeated name (case-insensitive, as SQL compares them): HRX 0x8007000D.
CountersTableLayout CountersTableLayoutFromMetrics(const QxNodePtr& metricsConfiguration);

/// Creates the three tables when absent (IF NOT EXISTS; an existing table is left as it is) and,
/// when withIndexes, their indexes. A counters table without the span column (made by an older
/// version) is dropped with the aggregation progress: the counters are derived data and are counted
/// anew. Where the dialect KeepsCounters, the backend makes tables of its own instead
/// (IConnection::CreateOwnSchema) and CreateReportingIndexes does nothing. Throws StorageError.
void CreateReportingSchema(IConnection& connection, const CountersTableLayout& counters, bool withIndexes = true);

/// Creates the indexes when absent: on AuditRecords ("When"), ("ProductId","When"),
/// ("ManagedObjectUId","When"); on the counters table (mask, condition id, span, timestamp, group
/// columns, count): it covers every read of the counters, in the order of their buckets. Throws StorageError.
void CreateReportingIndexes(IConnection& connection, const CountersTableLayout& counters);

}  // namespace cvn::reporting
