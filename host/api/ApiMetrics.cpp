// The API's measurements in the Prometheus text format.
#include "host/api/ApiMetrics.h"

#include <cstdio>

namespace cvn::api {

namespace {

const std::vector<double> kCallBounds{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
const std::vector<double> kDashboardBounds{0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

void Header(std::string& out, const char* metric, const char* type, const char* help)
{
    out.append("# HELP ").append(metric).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(metric).append(" ").append(type).append("\n");
}

void Gauge(std::string& out, const char* metric, const char* help, double value)
{
    Header(out, metric, "gauge", help);
    out.append(metric).append(" ").append(Number(value)).append("\n");
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds) : m_bounds(std::move(bounds)), m_counts(m_bounds.size() + 1, 0) {}

void Histogram::Observe(double seconds)
{
    std::lock_guard lock(m_lock);
    size_t slot = 0;
    while (slot < m_bounds.size() && seconds > m_bounds[slot]) ++slot;
    ++m_counts[slot];
    m_sum += seconds;
}

void Histogram::Render(std::string& out, const std::string& metric, const std::string& labels) const
{
    std::lock_guard lock(m_lock);
    const std::string prefix = labels.empty() ? "" : labels + ",";
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= m_bounds.size(); ++i) {
        cumulative += m_counts[i];
        const std::string bound = i < m_bounds.size() ? Number(m_bounds[i]) : "+Inf";
        out.append(metric).append("_bucket{").append(prefix).append("le=\"").append(bound).append("\"} ");
        out.append(std::to_string(cumulative)).append("\n");
    }
    const std::string braces = labels.empty() ? "" : "{" + labels + "}";
    out.append(metric).append("_sum").append(braces).append(" ").append(Number(m_sum)).append("\n");
    out.append(metric).append("_count").append(braces).append(" ").append(std::to_string(cumulative)).append("\n");
}

ApiMetrics::ApiMetrics() : m_dashboards(kDashboardBounds) {}

Histogram& ApiMetrics::DurationOf(const std::string& route)
{
    auto found = m_durations.find(route);
    if (found == m_durations.end()) found = m_durations.try_emplace(route, kCallBounds).first;
    return found->second;
}

void ApiMetrics::Count(const std::string& route, int status, double seconds)
{
    Histogram* duration = nullptr;
    {
        std::lock_guard lock(m_lock);
        ++m_calls[{route, status}];
        duration = &DurationOf(route);  // map nodes stay put
    }
    duration->Observe(seconds);
}

std::string ApiMetrics::Render(const Gauges& gauges) const
{
    std::string out;
    {
        std::lock_guard lock(m_lock);
        Header(out, "corvane_http_requests_total", "counter", "HTTP calls answered, by route and status.");
        for (const auto& [key, count] : m_calls)
            out.append("corvane_http_requests_total{route=\"").append(key.first).append("\",code=\"")
                .append(std::to_string(key.second)).append("\"} ").append(std::to_string(count)).append("\n");
        Header(out, "corvane_http_request_duration_seconds", "histogram", "Time to answer an HTTP call, by route.");
        for (const auto& [route, histogram] : m_durations)
            histogram.Render(out, "corvane_http_request_duration_seconds", "route=\"" + route + "\"");
    }
    Gauge(out, "corvane_http_requests_in_flight", "HTTP calls being answered.", static_cast<double>(m_inFlight.load()));
    Gauge(out, "corvane_live_cookies", "Cookies handed out and not yet complete, stopped, freed or expired.",
          static_cast<double>(gauges.liveCookies));
    Header(out, "corvane_dashboard_seconds", "histogram", "From a new retrieve request to its complete answer.");
    m_dashboards.Render(out, "corvane_dashboard_seconds", "");
    Gauge(out, "corvane_queries_held", "Queries the queries processor holds: queued, running or finished and not freed.",
          static_cast<double>(gauges.queriesHeld));
    Gauge(out, "corvane_queries_queued", "Queries waiting for a worker of the queries processor.",
          static_cast<double>(gauges.queriesQueued));
    return out;
}

}  // namespace cvn::api
