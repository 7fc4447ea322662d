// Fills the overview counters from the audited records: for every group of the
// metrics configuration (ManagedObjectUId always included) and the preset it is
// configured for, counts per hour and per longer bucket (kCounterSpans);
// incrementally as records arrive, and backwards in time on request, moving the
// metrics start time with it.
// Thread safety: one aggregator per connection, used by one thread at a time;
// runs of several processes serialise on the database's write lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ServiceInterfaces.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Schema.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

/// One stored group: the mask written to the mask column, where each logical column goes, and
/// the preset conditions counted for it.
struct AggregatedGroup {
    uint32_t mask = 0;
    std::vector<std::pair<std::string, std::string>> columns;  ///< (logical, table column), ascending bit order
    std::map<int64_t, QxNodePtr> presets;                      ///< preset id to its condition tree
};

/// Where the configuration store keeps the metrics configuration.
inline constexpr const char* kMetricsConfigurationPath = "\\Configuration\\OverviewMetricsConfiguration";

/// What the counters hold: for every hour from startTime on, and for every longer bucket that starts
/// at or after startTime, exactly the records of that bucket whose id is at most lastRecordId; nothing
/// before startTime. Read from the aggregation state.
struct CountersCoverage {
    std::optional<int64_t> startTime;  ///< none before the first run
    int64_t lastRecordId = 0;
    std::string definition;  ///< the layout, groups and presets the counters were made for (MetricsDefinition)
};

class MetricsAggregator {
public:
    static constexpr const char* kStatusPath = "\\Statuses\\OverviewMetricsStatus";

    /// metrics: the metrics configuration node; recordsTemplate: the translator's template over the records,
    /// which preset conditions are translated against; statusStore (optional) receives "StartTime".
    /// Throws HRX 0x80070490 for a missing configuration item or preset, 0x8007000D for a malformed one.
    MetricsAggregator(IConnection& connection, const QxNodePtr& metrics, const QueryTranslator& translator,
                      std::string recordsTemplate, IConfigStorage* statusStore = nullptr);

    /// Where the database counts records into the counters itself (IDialect::KeepsCounters), a run only
    /// makes it count by this configuration when it counts by another or none yet, and returns 0.
    /// Takes in the records added since the last run: re-counts the hours from the metrics start time
    /// on that they touch (the first run starts the metrics at now's hour) and moves lastRecordId to the
    /// newest record. Counters made for another table layout, groups or presets are dropped first and
    /// the metrics start anew, as on a first run. Returns the number of hours re-counted (0 when nothing
    /// arrived). Throws StorageError or HRX; a failed run changes nothing.
    int64_t Aggregate(int64_t now);
    /// Aggregate, then counts the hours from `from`'s hour up to the metrics start time and moves the
    /// start time back there. Returns the hours counted. Throws as Aggregate.
    int64_t Backfill(int64_t from, int64_t now);
    /// The metrics start time (unix seconds), none before the first run.
    std::optional<int64_t> StartTime() const;

    const std::vector<AggregatedGroup>& Groups() const noexcept { return m_groups; }

private:
    struct State {
        int64_t startTime = 0;
        int64_t lastRecordId = 0;
    };
    /// The stored progress; when the counters were made for another definition, drops them and
    /// returns a first run's state. Caller holds the transaction.
    State LoadState(int64_t now);
    void SaveState(const State& state);
    /// Re-counts the records newer than state.lastRecordId into their hours and advances it.
    int64_t TakeInNewRecords(State& state);
    /// Counts the hours [from, till) anew from the records with an id up to lastRecordId, and the longer
    /// buckets they touch that lie wholly from startTime (the start once this run ends) on.
    void CountRange(int64_t from, int64_t till, int64_t lastRecordId, int64_t startTime);
    /// The hourly rows of [from, till) and the longer ones wholly inside it, in one pass over its records.
    void CountBuckets(int64_t from, int64_t till, int64_t lastRecordId);
    /// The hourly rows of [from, till), counted by the database: one grouped insert per group and preset.
    void CountHours(int64_t from, int64_t till, int64_t lastRecordId);
    /// The rows of span for its buckets in [from, till), summed from the rows of the shorter span.
    void RollUp(int64_t shorter, int64_t span, int64_t from, int64_t till);
    void WriteStatus(int64_t startTime);
    /// Aggregate and Backfill where the database keeps the counters.
    int64_t KeepCounters();
    template <class Work>
    int64_t InTransaction(Work&& work);

    IConnection& m_connection;
    const QueryTranslator& m_translator;
    std::string m_recordsTemplate;
    IConfigStorage* m_statusStore;
    CountersTableLayout m_table;
    std::vector<AggregatedGroup> m_groups;
    std::string m_definition;  ///< the layout, groups and presets as text: stored beside the progress
    std::optional<int64_t> m_writtenStart;
};

/// The stored groups of a metrics configuration, as the mask and alias processors address them.
/// Throws as the aggregator's constructor.
std::vector<AggregatedGroup> ReadAggregatedGroups(const QxNodePtr& metrics);

/// Every preset condition of the metrics configuration by its id, counted for some group or not.
/// Throws HRX 0x80070490 for a preset without "PresetConditionId".
std::map<int64_t, QxNodePtr> ReadPresetConditions(const QxNodePtr& metrics);

/// The layout, groups and presets as one text, stored beside the progress: counters made for another
/// text are not these counters.
std::string MetricsDefinition(const CountersTableLayout& layout, const std::vector<AggregatedGroup>& groups);

/// The stored progress (an empty coverage when nothing was aggregated yet). Throws StorageError.
CountersCoverage ReadCountersCoverage(IConnection& connection);

}  // namespace cvn::reporting
