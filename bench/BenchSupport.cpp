// Pieces the benchmarks share.
#include "bench/BenchSupport.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <variant>

namespace cvn::bench {

QxNodePtr Call(IRequestProcessor& processor, const QxNodePtr& request)
{
    IQxNode* raw = nullptr;
    const HRESULT hr = processor.ProcessRequest(request.Get(), &raw);
    QxNodePtr answer(raw, QxNodePtr::Attach{});
    if (hr < 0 || !answer)
        throw std::runtime_error("the request processor refused a '" + request.GetType() + "' request");
    return answer;
}

int64_t Drain(reporting::IStatement& statement, int64_t limit)
{
    int64_t total = 0;
    for (int64_t rows = 0; (limit < 0 || rows < limit) && statement.Next(); ++rows) {
        const size_t columns = statement.ColumnCount();
        for (size_t i = 0; i + 1 < columns; ++i) statement.Column(i);
        if (columns == 0) continue;
        const reporting::SqlValue last = statement.Column(columns - 1);
        if (const auto* count = std::get_if<int64_t>(&last)) total += *count;
    }
    return total;
}

int64_t RunDirect(reporting::IConnection& connection, const reporting::TranslatedQuery& query)
{
    const auto statement = connection.Prepare(query.sql);
    for (size_t i = 0; i < query.parameters.size(); ++i) statement->Bind(i + 1, query.parameters[i]);
    return Drain(*statement, query.rowLimit);
}

double Quantile(std::vector<double> samples, double q)
{
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(samples.size()));
    return samples[static_cast<size_t>(std::max(rank, 1.0)) - 1];
}

}  // namespace cvn::bench
