// Exact answers to queries on the overview counters. The counters are daily and
// hourly and lag the records, so a query on them is answered by one statement
// that sums the daily counters over the whole UTC days inside the range, the
// hourly ones over the other whole hours, and counts the records everywhere
// else: the partial hours at the range's edges, hours a local time bucket
// splits, hours before the metrics start, and records newer than the last
// aggregation. Fast and standard answers are then the same.
// Thread safety: immutable after construction; Translate may run on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/query/QueryTranslator.h"

namespace cvn::reporting {

class CountersQueryTranslator {
public:
    /// translator: holds the counters templates (those with "RecordsTemplate") and their records
    /// templates; metrics: the metrics configuration the aggregator counts by. Throws HRX as
    /// ReadAggregatedGroups, and 0x8007000D when a records template does not read the audited records.
    CountersQueryTranslator(const QueryTranslator& translator, const QxNodePtr& metrics);

    /// Whether the query names a counters template, which Translate must answer.
    bool Serves(const QxNodePtr& query) const;

    /// The query as one statement over counters and records, given what the counters cover (read in
    /// the same snapshot the statement runs in). The query must compare the mask and condition id
    /// columns with "=" at its top level, as the mask and preset processors write them. Throws HRX
    /// 0x8007000D naming what cannot be answered.
    TranslatedQuery Translate(const QxNodePtr& query, const CountersCoverage& coverage) const;

private:
    const QueryTranslator& m_translator;
    CountersTableLayout m_layout;
    std::map<uint32_t, AggregatedGroup> m_groups;  ///< by stored mask
    std::map<int64_t, QxNodePtr> m_presets;        ///< every preset condition by id
    std::string m_definition;                      ///< MetricsDefinition of layout and groups
};

}  // namespace cvn::reporting
