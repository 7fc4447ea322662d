// The API's own measurements and their Prometheus text: calls by route and
// status, call durations, calls in flight, complete dashboards. Gauges the
// API does not own (live cookies, held queries) are passed in at render time.
// Thread safety: every method may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace cvn::api {

class Histogram {
public:
    /// Upper bounds in seconds, ascending; +Inf is added.
    explicit Histogram(std::vector<double> bounds);
    void Observe(double seconds);
    /// The "_bucket", "_sum" and "_count" lines of the metric with the labels ("" or `route="x"`).
    void Render(std::string& out, const std::string& metric, const std::string& labels) const;

private:
    const std::vector<double> m_bounds;
    mutable std::mutex m_lock;
    std::vector<uint64_t> m_counts;  // guarded by m_lock: one per bound, then +Inf
    double m_sum = 0;                // guarded by m_lock
};

class ApiMetrics {
public:
    struct Gauges {
        size_t liveCookies = 0;
        size_t queriesHeld = 0;
        size_t queriesQueued = 0;
    };

    ApiMetrics();
    /// One answered call.
    void Count(const std::string& route, int status, double seconds);
    /// A dashboard from its new request to its complete answer.
    void Dashboard(double seconds) { m_dashboards.Observe(seconds); }
    std::atomic<int64_t>& InFlight() noexcept { return m_inFlight; }
    /// The whole exposition, in text format 0.0.4.
    std::string Render(const Gauges& gauges) const;

private:
    Histogram& DurationOf(const std::string& route);  // caller holds m_lock

    mutable std::mutex m_lock;
    std::map<std::pair<std::string, int>, uint64_t> m_calls;  // guarded by m_lock
    std::map<std::string, Histogram> m_durations;             // guarded by m_lock; a histogram locks itself
    Histogram m_dashboards;
    std::atomic<int64_t> m_inFlight{0};
};

}  // namespace cvn::api
