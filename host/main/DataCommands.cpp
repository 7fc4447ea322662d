// Sample data, aggregation and the fast method switch.
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "host/main/Commands.h"
#include "host/main/HostError.h"
#include "host/main/RequestRunner.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::hostmain {

namespace {

constexpr const char* kRecordsTemplate = "overview_standard";  ///< the template over the audited records

// Whether a server's database holds audit records already. One that cannot be reached is an error,
// not a reason to generate.
bool HoldsRecords(const reporting::StorageSettings& storage)
{
    try {
        const auto connection = reporting::OpenStorage(storage);
        const reporting::IDialect& sql = connection->Dialect();
        try {
            return connection->Prepare("SELECT 1 FROM " + sql.QuoteIdentifier(reporting::kAuditRecordsTable) + " " +
                                       sql.LimitClause(1, 0))
                ->Next();
        } catch (const reporting::StorageError& error) {
            if (error.Kind() == reporting::StorageErrorKind::Invalid) return false;  // no records table yet
            throw;
        }
    } catch (const std::exception& error) {
        throw HostError("cannot read the reporting database '" + storage.connection + "': " + error.what());
    }
}

// The records the overview metrics do not cover: those before the metrics' start (all of them before
// any aggregation). The stale records check asks this view, so the fast method serves a range that
// begins before the start only when the counters reach back far enough. Records added after an
// aggregation are not seen here; run `aggregate` again to count them.
std::string CoverageView(const reporting::IDialect& sql)
{
    const auto q = [&](const char* name) { return sql.QuoteIdentifier(name); };
    return sql.CreateViewIfAbsent(
        "UncoveredRecords", "SELECT * FROM " + q(reporting::kAuditRecordsTable) + " WHERE " +
                                q(reporting::RecordColumns::kWhen) + " < COALESCE((SELECT CAST(" + q("Value") + " AS " +
                                sql.IntegerType() + ") FROM " + q(reporting::kAggregationStateTable) + " WHERE " +
                                q("Key") + " = 'MetricsStartTime'), 9223372036854775807)");
}

QxNodePtr ReadMetrics(HostRuntime& host)
{
    const QxNodePtr metrics = host.ReadStore(reporting::kMetricsConfigurationPath);
    if (!metrics)
        throw HostError("the configuration store has no metrics configuration at " +
                        std::string(reporting::kMetricsConfigurationPath));
    return metrics;
}

}  // namespace

void EnsureCoverageView(const reporting::StorageSettings& storage)
{
    try {
        const auto connection = reporting::OpenStorage(storage);
        connection->Execute(CoverageView(connection->Dialect()));
    } catch (const std::exception& error) {
        throw HostError("cannot prepare the reporting database '" + storage.connection + "': " + error.what());
    }
}

reporting::SampleDataOptions SampleOptions(const HostRuntime& host, const CommandOptions& options)
{
    reporting::SampleDataOptions sample;
    sample.records = 200000;
    if (const QxNodePtr& node = host.Config().sampleData) {
        sample.records = node.GetAttributeOr<int64_t>("Records", sample.records);
        sample.days = node.GetAttributeOr<int32_t>("Days", sample.days);
        sample.seed = static_cast<uint64_t>(node.GetAttributeOr<int64_t>("Seed", static_cast<int64_t>(sample.seed)));
    }
    if (options.records) sample.records = *options.records;
    if (options.seed) sample.seed = static_cast<uint64_t>(*options.seed);
    if (options.days) sample.days = *options.days;
    if (sample.records < 1) throw HostError("the record count must be at least 1", kExitUsage);
    if (sample.days < 1) throw HostError("the number of days must be at least 1", kExitUsage);
    return sample;
}

int64_t CountRecords(const reporting::StorageSettings& storage)
{
    // Opening a missing SQLite file would make an empty one; say what to run instead.
    if (storage.kind == reporting::kDefaultStorageKind && !std::filesystem::exists(storage.connection))
        throw HostError("there is no reporting database at '" + storage.connection +
                        "'; run 'corvane-host generate' (or 'corvane-host demo') first");
    try {
        const auto connection = reporting::OpenStorage(storage);
        const auto statement = connection->Prepare("SELECT COUNT(*) FROM " +
                                                   connection->Dialect().QuoteIdentifier(reporting::kAuditRecordsTable));
        if (!statement->Next()) return 0;
        const reporting::SqlValue value = statement->Column(0);
        return std::holds_alternative<int64_t>(value) ? std::get<int64_t>(value) : 0;
    } catch (const std::exception& error) {
        throw HostError("cannot read the reporting database '" + storage.connection + "': " + error.what());
    }
}

bool GenerateIfMissing(HostRuntime& host, const CommandOptions& options, std::ostream& out)
{
    const reporting::StorageSettings storage = host.Storage();
    // A SQLite file is made here and removed again when the load fails. A database of another kind
    // belongs to its server: it is filled when it holds no records yet (its load is one transaction).
    const bool ownFile = storage.kind == reporting::kDefaultStorageKind;
    if (ownFile ? std::filesystem::exists(storage.connection) : HoldsRecords(storage)) return false;
    const reporting::SampleDataOptions sample = SampleOptions(host, options);
    const QxNodePtr metrics = ReadMetrics(host);
    out << "Generating " << sample.records << " sample records over " << sample.days << " days into "
        << storage.connection << " ..." << std::flush;
    const auto start = std::chrono::steady_clock::now();
    try {
        const reporting::SampleDataGenerator generator(sample);
        reporting::WriteSampleDatabase(storage, generator, reporting::CountersTableLayoutFromMetrics(metrics));
    } catch (...) {
        const std::string text = CurrentErrorText();
        std::error_code ignored;
        if (ownFile) std::filesystem::remove(storage.connection, ignored);  // never leave a half-written database behind
        throw HostError("cannot generate the sample database '" + storage.connection + "': " + text);
    }
    EnsureCoverageView(storage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out << " done in " << static_cast<int64_t>(seconds * 1000) << " ms\n";
    return true;
}

bool AggregateMetrics(HostRuntime& host, std::ostream& out)
{
    const QxNodePtr metrics = ReadMetrics(host);
    const QxNodePtr templates = host.Config().queriesProcessor.GetChild("QueryTemplates", false);
    const auto start = std::chrono::steady_clock::now();
    const reporting::StorageSettings storage = host.Storage();
    EnsureCoverageView(storage);
    try {
        const auto connection = reporting::OpenStorage(storage);
        const reporting::QueryTranslator translator(templates, connection->Dialect());
        reporting::MetricsAggregator aggregator(*connection, metrics, translator, kRecordsTemplate, host.ConfigStorage());
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        int64_t hours = aggregator.Aggregate(now);
        // The metrics cover every record, so the fast method may serve the whole default range.
        const reporting::IDialect& sql = connection->Dialect();
        const auto statement = connection->Prepare("SELECT MIN(" + sql.QuoteIdentifier(reporting::RecordColumns::kWhen) +
                                                   ") FROM " + sql.QuoteIdentifier(reporting::kAuditRecordsTable));
        if (statement->Next()) {
            const reporting::SqlValue first = statement->Column(0);
            if (const auto* when = std::get_if<int64_t>(&first)) hours += aggregator.Backfill(*when, now);
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        out << "Aggregated the overview metrics: " << hours << " hour" << (hours == 1 ? "" : "s") << " counted in "
            << static_cast<int64_t>(ms) << " ms\n";
    } catch (...) {
        throw HostError("cannot aggregate the overview metrics in '" + storage.connection + "': " + CurrentErrorText());
    }
    return true;
}

bool FastMethodOffered(HostRuntime& host)
{
    const QxNodePtr probe = QxNodePtr::Parse(R"(<GetRetrieveMethodRequest q:name="FastMethodProbe" RetrieveMethod:i32="1"/>)");
    return host.Process(probe).GetAttributeOr<int32_t>("RetrieveMethod", 0) == 1;
}

bool SwitchFastMethodOn(HostRuntime& host)
{
    const bool running = host.ModuleStarted();
    if (running && FastMethodOffered(host)) return true;  // on already, and the module knows it
    const std::string& path = host.Config().overviewSettingsPath;
    QxNodePtr settings = host.ReadStore(path);
    if (!settings) settings = QxNodePtr::Create();
    settings.SetAttribute(host.Config().fastSwitchAttribute, true);
    host.WriteStore(path, settings);
    if (!running) return true;  // a module started later reads the switch as it starts
    // A running module hears the switch through its subscription's next publication; ask until it has.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (FastMethodOffered(host)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace cvn::hostmain
