// CConfigSubscriptionsSink: the sink the configuration server calls. A
// synchronous notification reaches the single callback at once; the others are
// gathered per subscription and published in batches by a periodic worker.
// Thread safety: OnTriggered from any number of server threads; callbacks run
// outside the sink's lock; none starts once Close (or destruction) returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/Helpers/AsyncAction.h"
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/CallbackGate.h"
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/NodeModifyUtils.h"
#include "corvane/NodeNotifications.h"

namespace CfgSubscriptionsHelpers {

/// The sink's own object interface.
struct IConfigSubscriptionsSink : cvn::IComponentBase {
    static constexpr GUID kIid = cvn::MakeGuid(0x6f1d2c3b, 0x8a4e, 0x4b7f, 0x9d2a, 0x5c3e1f0b7a64);

protected:
    ~IConfigSubscriptionsSink() = default;
};

class CConfigSubscriptionsSink : public cvn::Implements<IConfigSubscriptionsSink, cvn::IQxModifySink> {
public:
    using TModifications = std::vector<NodeModifyUtils::TNodeModification>;
    using BatchCallback = std::function<void(const GUID& subscriptionId, TModifications&& modifications)>;
    using SingleCallback =
        std::function<void(const GUID& subscriptionId, const std::string& path, const cvn::QxNodePtr& node)>;

    /// Publishes every interval (also the first delay) on the clock's time; an interval of 0 publishes
    /// once, at once. A negative interval or a missing callback throws HRX E_INVALIDARG.
    CConfigSubscriptionsSink(uint64_t intervalSec, BatchCallback batchCallback, SingleCallback singleCallback);
    CConfigSubscriptionsSink(std::chrono::milliseconds interval, BatchCallback batchCallback,
                             SingleCallback singleCallback, const cvn::IClock& clock = cvn::RealClock());
    ~CConfigSubscriptionsSink();

    /// Synchronous: exactly one modification (else 0x8007000D), handed on before returning.
    /// Otherwise the modifications are kept for the next publication.
    HRESULT OnTriggered(cvn::IQxModifySubscription* subscription, int32_t synchronous,
                        cvn::IQxNodeModifyEnum* modifications) noexcept override;

    /// Publishes what has gathered: one batch callback per subscription id; a failing callback is
    /// logged at WARN and the other ids are still published.
    void IntPublishModifications();

    /// Drops what has gathered and refuses notifications and callbacks from then on; waits for running
    /// callbacks of other threads. For an owner that goes while others may still hold the sink.
    void Close();

private:
    // Outlives the sink while a publication runs, in case a callback releases the sink.
    struct Shared {
        BatchCallback batchCallback;
        SingleCallback singleCallback;
        CallbackGate gate;
    };

    std::map<GUID, TModifications> m_pending;
    std::shared_ptr<Shared> m_shared;
    std::recursive_mutex m_lock;
    std::unique_ptr<cvn::CAsyncAction> m_worker;  // last: stopped before the rest goes
};

}  // namespace CfgSubscriptionsHelpers
