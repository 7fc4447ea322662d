// The lazy configuration subscription the monitoring plan processors share: made and
// started on the first filter, retried on the next filter after a failure, ended for good
// by Shutdown.
// Thread safety: every method may be called from any thread at once; no callback runs
// once Shutdown has returned.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"

namespace OverviewReportsProcessing {

class MonitoringPlansSubscription {
public:
    /// Reads the required "MonitoringPlansCfgPath"; HRX 0x80070490 (logged) when the node is null or lacks it.
    MonitoringPlansSubscription(const cvn::QxNodePtr& configuration, const char* owner, uint32_t changesMask,
                                std::chrono::milliseconds interval);
    ~MonitoringPlansSubscription();
    MonitoringPlansSubscription(const MonitoringPlansSubscription&) = delete;
    MonitoringPlansSubscription& operator=(const MonitoringPlansSubscription&) = delete;

    /// Subscribes with the callback unless already subscribed or shut down. Throws HRX when subscribing
    /// fails; nothing is kept then and the next call tries again.
    void EnsureStarted(const CfgSubscriptionsHelpers::ConfigSubscriber::Callback& callback);
    /// Stops and releases the subscriber; later EnsureStarted calls do nothing. Never throws.
    void Shutdown() noexcept;

    /// True when a notification for path describes the whole plans list, not one node below it.
    bool IsWholeList(std::string_view path) const;
    const std::string& Path() const noexcept { return m_path; }

private:
    std::string m_path;
    uint32_t m_changesMask;
    std::chrono::milliseconds m_interval;
    std::atomic<bool> m_started{false};
    std::mutex m_lock;
    bool m_shutDown = false;
    std::unique_ptr<CfgSubscriptionsHelpers::ConfigSubscriber> m_subscriber;
};

}  // namespace OverviewReportsProcessing
