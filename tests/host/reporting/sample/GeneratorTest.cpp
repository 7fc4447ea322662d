// The sample data generator: the same records for the same seed, a catalog in
// which data sources share products, distributions shaped like real auditing
// (skewed users, working hours, quiet weekends), and a database written fast.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "host/reporting/sample/SampleDataGenerator.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

constexpr int64_t kEnd = 1767225600;  // 2026-01-01T00:00:00Z, a Thursday

SampleDataOptions Options(uint64_t seed, int64_t records)
{
    return {.seed = seed, .records = records, .days = 28, .endTime = kEnd};
}

std::vector<std::string> Flatten(const SampleDataGenerator& generator)
{
    std::vector<std::string> lines;
    generator.ForEachRecord([&](const SampleRecord& r) {
        lines.push_back(std::to_string(r.when) + "|" + std::string(r.productId) + "|" +
                        std::to_string(r.auditingSystem) + "|" + std::string(r.dataSource) + "|" +
                        std::string(r.managedObjectUId) + "|" + std::string(r.managedObject) + "|" +
                        std::string(r.who) + "|" + std::string(r.where) + "|" + std::string(r.objectType) + "|" +
                        std::string(r.whatAction) + "|" + std::string(r.what));
    });
    return lines;
}

TEST(SampleDataGenerator, SameSeedSameRecordsOtherSeedOthersAndOneCatalogWhoseDataSourcesShareProducts)
{
    const SampleDataGenerator a(Options(7, 20000)), b(Options(8, 20000));
    const auto first = Flatten(a);
    EXPECT_EQ(first, Flatten(SampleDataGenerator(Options(7, 20000))));
    const auto other = Flatten(b);
    ASSERT_EQ(first.size(), other.size());
    size_t same = 0;
    for (size_t i = 0; i < first.size(); ++i) same += first[i] == other[i] ? 1 : 0;
    EXPECT_LT(same, first.size() / 100);

    ASSERT_EQ(a.Plans().size(), b.Plans().size());
    EXPECT_EQ(a.Plans()[0].uidText, b.Plans()[0].uidText);
    size_t shared = 0;
    std::set<std::string> productIds;
    for (const SampleDataSource& source : a.DataSources()) {
        shared += source.productIds.size() >= 2 ? 1 : 0;
        EXPECT_EQ(38u, source.idText.size());
        for (const std::string& id : source.productIds) EXPECT_TRUE(productIds.insert(id).second) << id;
    }
    EXPECT_GE(shared, 2u);
    EXPECT_EQ(a.Products().size(), productIds.size());
    std::set<int32_t> systems;
    for (const SampleProduct& product : a.Products()) EXPECT_TRUE(systems.insert(product.auditingSystem).second);

    const QxNodePtr mapping = a.DataSourceMappingNode();
    ASSERT_EQ(a.DataSources().size(), mapping.GetChildCount());
    const QxNodePtr firstSource = mapping.GetChild(uint64_t{0});
    EXPECT_EQ("DataSource", firstSource.GetType());
    EXPECT_EQ(a.DataSources()[0].id, firstSource.GetRequiredAttribute<GUID>("DataSource"));
    EXPECT_EQ(a.DataSources()[0].productIds, firstSource.GetRequiredAttribute<std::vector<std::string>>("ProductIds"));
}

TEST(SampleDataGenerator, DistributionsLookLikeAuditing)
{
    const SampleDataGenerator generator(Options(3, 100000));
    std::map<std::string, int64_t> byWho, byProduct;
    std::map<std::string, std::set<std::string>> typesOfProduct;
    int64_t working = 0, night = 0, weekend = 0, total = 0, previous = 0;
    std::set<std::string> plansSeen;
    std::map<std::string, std::string> dataSourceOfProduct;
    for (const SampleDataSource& source : generator.DataSources())
        for (const std::string& id : source.productIds) dataSourceOfProduct[id] = source.idText;

    generator.ForEachRecord([&](const SampleRecord& r) {
        ASSERT_GE(r.when, generator.StartTime());
        ASSERT_LT(r.when, generator.EndTime());
        ASSERT_GE(r.when, previous) << "records come in time order";
        previous = r.when;
        ++total;
        ++byWho[std::string(r.who)];
        ++byProduct[std::string(r.productId)];
        typesOfProduct[std::string(r.productId)].insert(std::string(r.objectType));
        plansSeen.insert(std::string(r.managedObject));
        EXPECT_EQ(dataSourceOfProduct[std::string(r.productId)], r.dataSource);
        const int64_t hour = r.when % 86400 / 3600;
        working += hour >= 8 && hour < 17 ? 1 : 0;
        night += hour < 5 ? 1 : 0;
        const int64_t weekday = (r.when / 86400 + 4) % 7;
        weekend += weekday == 0 || weekday == 6 ? 1 : 0;
    });
    ASSERT_EQ(100000, total);

    // Working hours carry most changes; nights and weekends little (8 of 28 days are weekend days).
    EXPECT_GT(working, total * 6 / 10);
    EXPECT_LT(night, total * 5 / 100);
    EXPECT_LT(weekend, total * 12 / 100);
    EXPECT_GT(weekend, total * 4 / 100);

    // A few accounts make many changes, many accounts a few.
    std::vector<int64_t> counts;
    for (const auto& [who, count] : byWho) counts.push_back(count);
    std::sort(counts.rbegin(), counts.rend());
    EXPECT_GT(byWho.size(), 300u);
    EXPECT_GT(counts[0], total / 20);
    EXPECT_LT(counts[0], total / 3);
    int64_t topTen = 0;
    for (size_t i = 0; i < 10; ++i) topTen += counts[i];
    EXPECT_GT(topTen, total * 3 / 10);
    EXPECT_GT(byWho["NT AUTHORITY\\SYSTEM"], 0);

    // Products in their proportions, each with its own object types; every plan is used.
    for (const SampleProduct& product : generator.Products()) {
        const double share = static_cast<double>(byProduct[product.id]) / static_cast<double>(total);
        EXPECT_NEAR(product.weight, share, product.weight * 0.2) << product.name;
    }
    EXPECT_TRUE(typesOfProduct["101"].count("user"));
    EXPECT_FALSE(typesOfProduct["101"].count("File"));
    EXPECT_TRUE(typesOfProduct["201"].count("File"));
    EXPECT_EQ(generator.Plans().size(), plansSeen.size());
}

TEST(SampleDataGenerator, WritesADatabaseOnce)
{
    TempDir dir;
    const std::string path = dir.File("sample.db");
    const SampleDataGenerator generator(Options(5, 20000));
    const CountersTableLayout counters = CountersTableLayoutFromMetrics(Tree(kMetrics));
    EXPECT_EQ(20000, WriteSampleDatabase(StorageSettingsForFile(path), generator, counters));

    const auto connection = OpenTestDatabase(path, false);
    const auto one = [&](const std::string& sql) { return One(*connection, sql); };
    EXPECT_EQ(SqlValue(int64_t{20000}), one("SELECT count(*) FROM AuditRecords"));
    EXPECT_TRUE(std::filesystem::exists(path + "-wal")) << "not left in the WAL journal";
    EXPECT_EQ(SqlValue(int64_t{2}),
              one(R"(SELECT count(DISTINCT "ProductId") FROM AuditRecords WHERE "DataSource" = ')" +
                  generator.DataSources()[0].idText + "'"));
    EXPECT_THROW(WriteSampleDatabase(StorageSettingsForFile(path), generator, counters), StorageError);
}

}  // namespace
}  // namespace cvn::reporting::test
