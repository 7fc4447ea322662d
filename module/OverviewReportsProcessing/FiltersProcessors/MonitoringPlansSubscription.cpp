// The monitoring plans subscription of the plan processors.
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlansSubscription.h"

#include "common/ErrorHandling/HRX.h"

#include <cctype>


namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

namespace {

constexpr uint32_t kSubscribeOptions = 11;

// Case-insensitive, either separator, no separators at the ends.
std::string NormalizedPath(std::string_view path)
{
    std::string out;
    for (char c : path) out += c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t first = out.find_first_not_of('\\');
    if (first == std::string::npos) return {};
    return out.substr(first, out.find_last_not_of('\\') - first + 1);
}

}  // namespace

MonitoringPlansSubscription::MonitoringPlansSubscription(const QxNodePtr& configuration, const char* owner,
                                                         uint32_t changesMask, std::chrono::milliseconds interval)
    : m_changesMask(changesMask), m_interval(interval)
{
    if (!configuration || !configuration.GetAttribute("MonitoringPlansCfgPath", m_path))
        CV_FAIL_LOGGED(owner, cvn::kHrNotFound, "MonitoringPlansCfgPath is missing from the configuration");
}

MonitoringPlansSubscription::~MonitoringPlansSubscription()
{
    Shutdown();
}

void MonitoringPlansSubscription::EnsureStarted(const CfgSubscriptionsHelpers::ConfigSubscriber::Callback& callback)
{
    if (m_started.load(std::memory_order_acquire)) return;
    std::lock_guard guard(m_lock);
    if (m_started.load(std::memory_order_relaxed) || m_shutDown) return;
    auto subscriber = std::make_unique<CfgSubscriptionsHelpers::ConfigSubscriber>(m_path, callback, m_changesMask,
                                                                                  kSubscribeOptions, m_interval);
    subscriber->Start();
    m_subscriber = std::move(subscriber);
    m_started.store(true, std::memory_order_release);
}

void MonitoringPlansSubscription::Shutdown() noexcept
{
    std::unique_ptr<CfgSubscriptionsHelpers::ConfigSubscriber> subscriber;
    {
        std::lock_guard guard(m_lock);
        m_shutDown = true;
        subscriber = std::move(m_subscriber);
    }
    // Outside the lock: destroying the subscriber at the end of this scope waits for a running callback.
    if (subscriber) subscriber->Stop();
}

bool MonitoringPlansSubscription::IsWholeList(std::string_view path) const
{
    const std::string followed = NormalizedPath(m_path);
    const std::string modified = NormalizedPath(path);
    return !(modified.size() > followed.size() && modified.compare(0, followed.size(), followed) == 0 &&
             modified[followed.size()] == '\\');
}

}  // namespace OverviewReportsProcessing
