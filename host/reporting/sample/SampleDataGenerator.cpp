// Generating the sample records and writing them into a reporting database.
#include "host/reporting/sample/SampleDataGenerator.h"

#include <algorithm>
#include <optional>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/Clock.h"
#include "host/reporting/sample/SampleDataCatalog.h"

namespace cvn::reporting {

using namespace sample;

namespace {

// Share of the day's changes per UTC hour: quiet nights, a working day with a lunch dip.
constexpr double kHourWeights[24] = {1, 1, 1, 1, 1, 2, 4, 8, 14, 16, 16, 15, 12, 15, 16, 15, 13, 9, 6, 4, 3, 2, 2, 1};
constexpr double kWeekendWeight = 0.25;
constexpr double kWhoExponent = 1.0;
constexpr double kServerExponent = 1.2;
constexpr double kPlanExponent = 1.0;
constexpr double kObjectExponent = 0.8;
// Separate streams: the catalog's people and objects, and the records.
constexpr uint64_t kCatalogStream = 0x5EED0001;
constexpr uint64_t kRecordStream = 0x5EED0002;

// 0 = Sunday ... 6 = Saturday; 1970-01-01 was a Thursday.
int Weekday(int64_t unixSeconds)
{
    const int64_t day = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
    return static_cast<int>(((day + 4) % 7 + 7) % 7);
}

std::vector<double> WeightsOf(const std::vector<Weighted>& items)
{
    std::vector<double> weights;
    for (const Weighted& item : items) weights.push_back(item.weight);
    return weights;
}

}  // namespace

struct SampleDataGenerator::Impl {
    struct Object {
        uint32_t type;
        std::string path;
    };
    // One record before it is sorted by time: indices into the tables below.
    struct Packed {
        int64_t when;
        uint32_t sequence;
        uint32_t who;
        uint32_t object;
        uint16_t product;
        uint16_t plan;
        uint16_t where;
        uint16_t action;
    };

    std::vector<std::string> who;
    WeightedPick whoPick;
    WeightedPick productPick;
    std::vector<std::vector<size_t>> plansOfProduct;
    std::vector<WeightedPick> planPick, serverPick, actionPick, objectPick;
    std::vector<std::vector<Object>> objects;
    WeightedPick hourPick;  ///< over the hours of the whole range

    std::vector<Packed> Generate(const SampleDataOptions& options, int64_t start) const
    {
        SampleRandom random(options.seed ^ kRecordStream);
        std::vector<Packed> records(static_cast<size_t>(options.records));
        uint32_t sequence = 0;
        for (Packed& record : records) {
            const int64_t hour = static_cast<int64_t>(hourPick.Pick(random));
            record.when = std::min(start + hour * 3600 + static_cast<int64_t>(random.Below(3600)), options.endTime - 1);
            record.sequence = sequence++;
            record.product = static_cast<uint16_t>(productPick.Pick(random));
            record.plan = static_cast<uint16_t>(plansOfProduct[record.product][planPick[record.product].Pick(random)]);
            record.who = static_cast<uint32_t>(whoPick.Pick(random));
            record.where = static_cast<uint16_t>(serverPick[record.product].Pick(random));
            record.object = static_cast<uint32_t>(objectPick[record.product].Pick(random));
            record.action = static_cast<uint16_t>(actionPick[record.product].Pick(random));
        }
        std::sort(records.begin(), records.end(), [](const Packed& a, const Packed& b) {
            return a.when != b.when ? a.when < b.when : a.sequence < b.sequence;
        });
        return records;
    }
};

SampleDataGenerator::SampleDataGenerator(SampleDataOptions options)
    : m_options(options), m_impl(std::make_unique<Impl>())
{
    if (m_options.records < 0 || m_options.days < 1 || m_options.users < 1 || m_options.objectsPerProduct < 1)
        ThrowHrWithDescription(E_INVALIDARG, "sample data needs records >= 0, days, users and objects >= 1");
    if (m_options.endTime == 0) {
        const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(SystemNow().time_since_epoch()).count();
        m_options.endTime = now - now % 3600;
    }
    const Catalog& catalog = GetCatalog();
    SampleRandom random(m_options.seed ^ kCatalogStream);

    // Accounts by rank: the system and service accounts are among the busiest.
    std::vector<std::string> people = MakePeople(static_cast<size_t>(m_options.users), random);
    const std::pair<size_t, const char*> services[] = {
        {0, "NT AUTHORITY\\SYSTEM"}, {1, "CORP\\svc_backup"}, {4, "CORP\\svc_provisioning"}};
    m_impl->who = people;
    for (const auto& [rank, name] : services)
        m_impl->who.insert(m_impl->who.begin() + static_cast<std::ptrdiff_t>(std::min(rank, m_impl->who.size())), name);
    m_impl->whoPick = WeightedPick::Zipf(m_impl->who.size(), kWhoExponent);

    std::vector<double> productWeights;
    for (const SampleProduct& product : catalog.products) productWeights.push_back(product.weight);
    m_impl->productPick = WeightedPick(productWeights);

    for (size_t p = 0; p < catalog.products.size(); ++p) {
        const ProductProfile& profile = catalog.profiles[p];
        std::vector<size_t> plans;
        for (size_t plan = 0; plan < catalog.plans.size(); ++plan) {
            const std::vector<size_t>& covered = catalog.plans[plan].products;
            if (std::find(covered.begin(), covered.end(), p) != covered.end()) plans.push_back(plan);
        }
        m_impl->planPick.push_back(WeightedPick::Zipf(plans.size(), kPlanExponent));
        m_impl->plansOfProduct.push_back(std::move(plans));
        m_impl->serverPick.push_back(WeightedPick::Zipf(profile.servers.size(), kServerExponent));
        m_impl->actionPick.push_back(WeightedPick(WeightsOf(profile.actions)));

        const WeightedPick typePick(WeightsOf(profile.objectTypes));
        std::vector<Impl::Object> objects;
        objects.reserve(static_cast<size_t>(m_options.objectsPerProduct));
        for (int32_t i = 0; i < m_options.objectsPerProduct; ++i) {
            const size_t type = typePick.Pick(random);
            objects.push_back({static_cast<uint32_t>(type), MakeObjectPath(p, type, people, random)});
        }
        m_impl->objects.push_back(std::move(objects));
        m_impl->objectPick.push_back(
            WeightedPick::Zipf(static_cast<size_t>(m_options.objectsPerProduct), kObjectExponent));
    }

    const int64_t start = StartTime();
    std::vector<double> hourWeights(static_cast<size_t>(m_options.days) * 24);
    for (size_t hour = 0; hour < hourWeights.size(); ++hour) {
        const int64_t at = start + static_cast<int64_t>(hour) * 3600;
        const int weekday = Weekday(at);
        const int64_t hourOfDay = ((at % 86400) + 86400) % 86400 / 3600;
        hourWeights[hour] = kHourWeights[hourOfDay] * (weekday == 0 || weekday == 6 ? kWeekendWeight : 1.0);
    }
    m_impl->hourPick = WeightedPick(hourWeights);
}

SampleDataGenerator::~SampleDataGenerator() = default;

int64_t SampleDataGenerator::StartTime() const noexcept
{
    return m_options.endTime - int64_t{m_options.days} * 86400;
}

const std::vector<SampleProduct>& SampleDataGenerator::Products() const noexcept
{
    return GetCatalog().products;
}
const std::vector<SampleDataSource>& SampleDataGenerator::DataSources() const noexcept
{
    return GetCatalog().dataSources;
}
const std::vector<SamplePlan>& SampleDataGenerator::Plans() const noexcept
{
    return GetCatalog().plans;
}

QxNodePtr SampleDataGenerator::DataSourceMappingNode() const
{
    const QxNodePtr mapping = QxNodePtr::Create("DataSourceMapping");
    for (const SampleDataSource& source : DataSources()) {
        const QxNodePtr entry = QxNodePtr::Create(source.name, "DataSource");
        entry.SetAttribute("DataSource", source.id);
        entry.SetAttribute("ProductIds", source.productIds);
        mapping.AddChild(entry);
    }
    return mapping;
}

void SampleDataGenerator::ForEachRecord(const std::function<void(const SampleRecord&)>& callback) const
{
    const Catalog& catalog = GetCatalog();
    for (const Impl::Packed& packed : m_impl->Generate(m_options, StartTime())) {
        const SampleProduct& product = catalog.products[packed.product];
        const ProductProfile& profile = catalog.profiles[packed.product];
        const SamplePlan& plan = catalog.plans[packed.plan];
        const Impl::Object& object = m_impl->objects[packed.product][packed.object];
        SampleRecord record;
        record.when = packed.when;
        record.productId = product.id;
        record.auditingSystem = product.auditingSystem;
        record.dataSource = catalog.dataSources[product.dataSource].idText;
        record.managedObjectUId = plan.uidText;
        record.managedObject = plan.name;
        record.who = m_impl->who[packed.who];
        record.where = profile.servers[packed.where];
        record.objectType = profile.objectTypes[object.type].name;
        record.whatAction = profile.actions[packed.action].name;
        record.what = object.path;
        callback(record);
    }
}

int64_t SampleDataGenerator::WriteRecords(IConnection& connection, int64_t batchSize) const
{
    const std::unique_ptr<IBulkWriter> writer = connection.BulkInsert(kAuditRecordsTable, AuditRecordColumns(), batchSize);
    int64_t written = 0;
    std::vector<SqlValue> row(AuditRecordColumns().size());
    ForEachRecord([&](const SampleRecord& record) {
        size_t at = 0;
        row[at++] = record.when;
        row[at++] = std::string(record.productId);
        row[at++] = int64_t{record.auditingSystem};
        row[at++] = std::string(record.dataSource);
        row[at++] = std::string(record.managedObjectUId);
        row[at++] = std::string(record.managedObject);
        row[at++] = std::string(record.who);
        row[at++] = std::string(record.where);
        row[at++] = std::string(record.objectType);
        row[at++] = std::string(record.whatAction);
        row[at++] = std::string(record.what);
        writer->Add(row);
        ++written;
    });
    writer->Finish();
    return written;
}

int64_t WriteSampleDatabase(const StorageSettings& storage, const SampleDataGenerator& generator,
                            const CountersTableLayout& counters)
{
    const std::unique_ptr<IConnection> connection = OpenStorage(storage, {.create = true});
    connection->PrepareForBulkLoad();
    CreateReportingSchema(*connection, counters, false);
    const IDialect& sql = connection->Dialect();
    const std::unique_ptr<IStatement> existing =
        connection->Prepare("SELECT 1 FROM " + sql.QuoteIdentifier(kAuditRecordsTable) + " " + sql.LimitClause(1, 0));
    if (existing->Next())
        throw StorageError(StorageErrorKind::Invalid, "'" + storage.connection + "' already holds audit records");
    const int64_t written = generator.WriteRecords(*connection);
    CreateReportingIndexes(*connection, counters);
    connection->FinishBulkLoad();
    return written;
}

}  // namespace cvn::reporting
