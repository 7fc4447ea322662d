// Pieces the benchmarks share: calling a request processor, recording the
// queries sent to one, stepping a statement to its end as a caller that reads
// every row would, and the quantiles of a set of timings.
// Thread safety: free functions over what the caller owns; RecordingProcessor
// takes requests from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Components.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::bench {

/// One ProcessRequest; throws std::runtime_error when it fails or answers nothing.
QxNodePtr Call(IRequestProcessor& processor, const QxNodePtr& request);

/// Steps the statement to its end, or `limit` rows when not negative, reading every column; the sum of
/// the last column's integers (the counts of a counters query).
int64_t Drain(reporting::IStatement& statement, int64_t limit = -1);
/// Prepares and binds the translated query on the connection and drains it up to its row limit, as the
/// queries processor steps it. Throws StorageError.
int64_t RunDirect(reporting::IConnection& connection, const reporting::TranslatedQuery& query);

/// Stands in front of the queries processor and keeps a copy of every query sent while recording.
class RecordingProcessor : public Implements<IRequestProcessor> {
public:
    RecordingProcessor(ComPtr<IRequestProcessor> next, bool recording) : m_next(std::move(next)), m_recording(recording)
    {
    }

    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override
    {
        if (m_recording.load() && request) {
            try {
                const QxNodePtr node(request);
                if (node.GetType() == "Query") {
                    std::lock_guard guard(m_lock);
                    m_queries.push_back(node.Clone());
                }
            } catch (...) {
            }
        }
        return m_next->ProcessRequest(request, response);
    }
    void Record(bool on) { m_recording.store(on); }
    std::vector<QxNodePtr> Take()
    {
        std::lock_guard guard(m_lock);
        return std::exchange(m_queries, {});
    }

private:
    const ComPtr<IRequestProcessor> m_next;
    std::atomic<bool> m_recording;
    std::mutex m_lock;
    std::vector<QxNodePtr> m_queries;
};

/// The sample at quantile q (0 to 1, nearest rank) of the samples; 0 for none.
double Quantile(std::vector<double> samples, double q);

}  // namespace cvn::bench
