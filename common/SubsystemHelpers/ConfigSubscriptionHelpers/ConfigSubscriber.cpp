// Subscription to one configuration path at the configuration server.
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"

namespace CfgSubscriptionsHelpers {

using namespace cvn;

namespace {

// The sink calls copies of the user callback, never the subscriber, so that a
// sink that outlives its subscriber calls nothing that is gone.
ComPtr<CComponentObject<CConfigSubscriptionsSink>> MakeSink(const ConfigSubscriber::Callback& singleCallback,
                                                            const ConfigSubscriber::Callback& batchCallback,
                                                            std::chrono::milliseconds interval, const IClock& clock)
{
    ThrowIf(!singleCallback || !batchCallback, E_INVALIDARG,
            "CfgSubscriptionsHelpers::ConfigSubscriber: no callback given");
    auto batch = [batchCallback](const GUID&, CConfigSubscriptionsSink::TModifications&& modifications) {
        for (const auto& modification : modifications) batchCallback(modification.path, modification.node);
    };
    auto single = [singleCallback](const GUID&, const std::string& path, const QxNodePtr& node) {
        singleCallback(path, node);
    };
    return CreateComponent<CConfigSubscriptionsSink>(interval, std::move(batch), std::move(single), clock);
}

std::chrono::milliseconds FromSeconds(uint64_t seconds)
{
    return seconds > UINT64_C(0x7FFFFFFFFFFFFFFF) / 1000
               ? std::chrono::milliseconds::max()
               : std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

}  // namespace

ConfigSubscriber::ConfigSubscriber(std::string path, Callback callback, uint32_t changesMask, uint32_t subscribeOptions,
                                   uint64_t intervalSec)
    : ConfigSubscriber(std::move(path), std::move(callback), changesMask, subscribeOptions, FromSeconds(intervalSec))
{
}

ConfigSubscriber::ConfigSubscriber(std::string path, Callback callback, uint32_t changesMask, uint32_t subscribeOptions,
                                   std::chrono::milliseconds interval, const IClock& clock)
    : ConfigSubscriber(std::move(path), callback, changesMask, subscribeOptions,
                       MakeSink(callback, callback, interval, clock))
{
}

ConfigSubscriber::ConfigSubscriber(std::string path, Callback singleCallback, Callback batchCallback,
                                   uint32_t changesMask, uint32_t subscribeOptions, std::chrono::milliseconds interval,
                                   const IClock& clock)
    : ConfigSubscriber(std::move(path), singleCallback, changesMask, subscribeOptions,
                       MakeSink(singleCallback, batchCallback, interval, clock))
{
}

ConfigSubscriber::ConfigSubscriber(std::string path, Callback callback, uint32_t changesMask, uint32_t subscribeOptions,
                                   ComPtr<Sink> sink)
    : m_path(std::move(path)),
      m_callback(std::move(callback)),
      m_changesMask(changesMask),
      m_subscribeOptions(subscribeOptions),
      m_sink(std::move(sink))
{
    ThrowIf(m_path.empty(), E_INVALIDARG, "CfgSubscriptionsHelpers::ConfigSubscriber: the configuration path is empty");
}

ConfigSubscriber::~ConfigSubscriber()
{
    Stop();
    // A server thread may still hold the sink: it must call nothing of ours from here on.
    try {
        m_sink->Close();
    } catch (...) {
        CV_LOG(Err, "CfgSubscriptionsHelpers::ConfigSubscriber failed to close its sink");
    }
    m_sink.Reset();
    m_subscription.Reset();
    m_proxy.Reset();
}

void ConfigSubscriber::Start()
{
    CV_TRACE_METHOD(Dbg3);
    std::lock_guard guard(m_lock);
    if (m_subscription) return;
    m_proxy = GetNamedInstance<IConfigSubscriptions>(kConfigServerProxyName);

    const QxNodePtr filter = MakePathFilterNode(m_path, QXN_DEPTH_ALL, false);
    const QxNodePtr options = QxNodePtr::Create("SubscribeConfig");
    options.SetAttribute("ChangesMask", static_cast<int64_t>(m_changesMask));
    options.SetAttribute("SubscribeOptions", static_cast<int64_t>(m_subscribeOptions));

    ComPtr<IQxModifySubscription> subscription;
    ThrowIfFailed(
        m_proxy->Subscribe(filter.Get(), options.Get(), static_cast<IQxModifySink*>(m_sink.Get()), subscription.Put()));
    ThrowIfNull(subscription.Get());
    const HRESULT activated = subscription->Activate();
    if (activated < 0) {
        // Keep the error (object) of the activation, then leave no half-made subscription behind.
        const HRX error(activated);
        m_proxy->Unsubscribe(subscription.Get());
        throw error;
    }
    m_subscription = std::move(subscription);
}

void ConfigSubscriber::Stop() noexcept
{
    // What has gathered stays for the next publication.
    DeleteSubscriptions();
}

void ConfigSubscriber::DeleteSubscriptions() noexcept
{
    try {
        std::lock_guard guard(m_lock);
        if (!m_subscription) return;
        const ComPtr<IQxModifySubscription> subscription = std::move(m_subscription);
        const HRESULT hr = m_proxy->Unsubscribe(subscription.Get());
        if (hr < 0)
            CV_LOG(Err,
                   "CfgSubscriptionsHelpers::ConfigSubscriber::DeleteSubscriptions failed: " << ErrorText(HRX(hr)));
    } catch (...) {
        CV_LOG(Err, "CfgSubscriptionsHelpers::ConfigSubscriber::DeleteSubscriptions failed unexpectedly");
    }
}

}  // namespace CfgSubscriptionsHelpers
