// ConfigSubscriber: follows one configuration path at "ConfigServer.Proxy" and
// calls a callback (path, node) for each modification, in the order the server
// sent them; gathered notifications come in one batch per interval.
// Thread safety: Start and Stop may be called from any thread (they are
// serialized); no callback starts once the subscriber is destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "corvane/ServiceInterfaces.h"

namespace CfgSubscriptionsHelpers {

class ConfigSubscriber {
public:
    using Callback = std::function<void(const std::string& path, const cvn::QxNodePtr& node)>;

    /// Created stopped. Gathered modifications are published every interval on the clock's time (0:
    /// once, at once). An empty path or callback, or a negative interval, throws HRX E_INVALIDARG.
    ConfigSubscriber(std::string path, Callback callback, uint32_t changesMask, uint32_t subscribeOptions,
                     uint64_t intervalSec = 1);
    ConfigSubscriber(std::string path, Callback callback, uint32_t changesMask, uint32_t subscribeOptions,
                     std::chrono::milliseconds interval, const cvn::IClock& clock = cvn::RealClock());
    /// The same with one callback for a synchronous notification and another for each modification of a
    /// published batch.
    ConfigSubscriber(std::string path, Callback singleCallback, Callback batchCallback, uint32_t changesMask,
                     uint32_t subscribeOptions, std::chrono::milliseconds interval,
                     const cvn::IClock& clock = cvn::RealClock());
    /// Stops, drops what is still unpublished, waits for a running callback, then releases the sink,
    /// the subscription and the proxy.
    ~ConfigSubscriber();
    ConfigSubscriber(const ConfigSubscriber&) = delete;
    ConfigSubscriber& operator=(const ConfigSubscriber&) = delete;

    /// Subscribes and activates; does nothing when already subscribed. Throws HRX on failure, leaving
    /// nothing subscribed.
    void Start();
    /// Unsubscribes; modifications gathered before are still published. Nothing when not started.
    /// Never throws.
    void Stop() noexcept;
    /// Removes the subscription, if any; a refusal is logged at ERR. Never throws.
    void DeleteSubscriptions() noexcept;

private:
    using Sink = cvn::CComponentObject<CConfigSubscriptionsSink>;

    ConfigSubscriber(std::string path, Callback callback, uint32_t changesMask, uint32_t subscribeOptions,
                     cvn::ComPtr<Sink> sink);

    std::string m_path;
    Callback m_callback;
    uint32_t m_changesMask;
    uint32_t m_subscribeOptions;
    std::mutex m_lock;
    cvn::ComPtr<cvn::IConfigSubscriptions> m_proxy;
    cvn::ComPtr<cvn::IQxModifySubscription> m_subscription;
    cvn::ComPtr<Sink> m_sink;
};

}  // namespace CfgSubscriptionsHelpers
