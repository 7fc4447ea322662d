// Realistic audited records for tests and benchmarks, the same for the same
// seed and end time: products and data sources (some data sources serve two
// products, so results merge), named monitoring plans, users and servers with
// skewed frequencies, object types, actions and paths that belong together,
// and change times over the last days with a daily and weekly rhythm.
// Thread safety: a generator is immutable after construction; ForEachRecord
// and WriteSampleRecords may run on several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Platform.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

struct SampleDataOptions {
    uint64_t seed = 1;
    int64_t records = 1000000;
    int32_t days = 30;
    int64_t endTime = 0;  ///< unix seconds (exclusive); 0: now, rounded down to the hour
    int32_t users = 400;  ///< people; three service accounts come on top
    int32_t objectsPerProduct = 3000;
};

struct SampleProduct {
    std::string id;          ///< "ProductId", e.g. "101"
    int32_t auditingSystem;  ///< "AuditingSystem": the product's number, what Suppressed_Auditing_systems lists
    std::string name;
    size_t dataSource;  ///< index into DataSources()
    double weight;      ///< share of the records
};

struct SampleDataSource {
    GUID id;
    std::string idText;  ///< braced upper case, as stored in "DataSource"
    std::string name;
    std::vector<std::string> productIds;
};

struct SamplePlan {
    GUID uid;
    std::string uidText;  ///< braced upper case, as stored in "ManagedObjectUId"
    std::string name;     ///< "ManagedObject"
    std::vector<size_t> products;
};

/// One record; the views point into the generator and live as long as it.
struct SampleRecord {
    int64_t when = 0;  ///< unix seconds UTC
    std::string_view productId;
    int32_t auditingSystem = 0;
    std::string_view dataSource;
    std::string_view managedObjectUId;
    std::string_view managedObject;
    std::string_view who;
    std::string_view where;
    std::string_view objectType;
    std::string_view whatAction;
    std::string_view what;
};

class SampleDataGenerator {
public:
    /// Throws HRX E_INVALIDARG for a negative record count, days < 1, users < 1 or objectsPerProduct < 1.
    explicit SampleDataGenerator(SampleDataOptions options);
    ~SampleDataGenerator();
    SampleDataGenerator(const SampleDataGenerator&) = delete;
    SampleDataGenerator& operator=(const SampleDataGenerator&) = delete;

    const SampleDataOptions& Options() const noexcept { return m_options; }
    /// The first second covered: EndTime() - days * 86400.
    int64_t StartTime() const noexcept;
    int64_t EndTime() const noexcept { return m_options.endTime; }

    /// The catalog does not depend on the seed: ids and names are the same for every seed.
    const std::vector<SampleProduct>& Products() const noexcept;
    const std::vector<SampleDataSource>& DataSources() const noexcept;
    const std::vector<SamplePlan>& Plans() const noexcept;
    /// "DataSourceMapping" as the gate's configuration takes it: one "DataSource" child per data
    /// source with GUID "DataSource" and string list "ProductIds".
    QxNodePtr DataSourceMappingNode() const;

    /// Calls back for every record in ascending change time (ties in generation order).
    void ForEachRecord(const std::function<void(const SampleRecord&)>& callback) const;

    /// Loads every record into AuditRecords (which must exist) through the connection's bulk writer
    /// (inserts in transactions of batchSize rows, or the database's bulk path).
    /// Returns the count inserted. Throws StorageError.
    int64_t WriteRecords(IConnection& connection, int64_t batchSize = 200000) const;

private:
    struct Impl;
    SampleDataOptions m_options;
    std::unique_ptr<Impl> m_impl;
};

/// A new reporting database (created when missing) loaded in bulk: the schema (without indexes), the
/// records, then the indexes and FinishBulkLoad. Throws StorageError; a database with records is
/// refused (StorageError Invalid) rather than doubled.
int64_t WriteSampleDatabase(const StorageSettings& storage, const SampleDataGenerator& generator,
                            const CountersTableLayout& counters);

}  // namespace cvn::reporting
