// Gathering and publication of configuration modifications.
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"

#include <exception>
#include <iterator>

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"

namespace CfgSubscriptionsHelpers {

using namespace cvn;

CConfigSubscriptionsSink::CConfigSubscriptionsSink(uint64_t intervalSec, BatchCallback batchCallback,
                                                   SingleCallback singleCallback)
    : CConfigSubscriptionsSink(std::chrono::milliseconds(intervalSec > UINT64_C(0x7FFFFFFFFFFFFFFF) / 1000
                                                             ? std::chrono::milliseconds::max().count()
                                                             : static_cast<int64_t>(intervalSec * 1000)),
                               std::move(batchCallback), std::move(singleCallback))
{
}

CConfigSubscriptionsSink::CConfigSubscriptionsSink(std::chrono::milliseconds interval, BatchCallback batchCallback,
                                                   SingleCallback singleCallback, const IClock& clock)
{
    ThrowIf(interval.count() < 0 || !batchCallback || !singleCallback, E_INVALIDARG,
            interval.count() < 0 ? "CfgSubscriptionsHelpers::CConfigSubscriptionsSink: negative publication interval"
                                 : "CfgSubscriptionsHelpers::CConfigSubscriptionsSink: a callback is missing");
    m_shared = std::make_shared<Shared>();
    m_shared->batchCallback = std::move(batchCallback);
    m_shared->singleCallback = std::move(singleCallback);
    // The interval is the first delay and the period: 0 publishes once, at once, and never again.
    m_worker = std::make_unique<CAsyncAction>(
        interval, interval, [this](CAsyncAction&) { IntPublishModifications(); }, clock);
}

CConfigSubscriptionsSink::~CConfigSubscriptionsSink()
{
    m_shared->gate.Close();
    m_worker.reset();
}

HRESULT CConfigSubscriptionsSink::OnTriggered(IQxModifySubscription* subscription, int32_t synchronous,
                                              IQxNodeModifyEnum* modifications) noexcept
try {
    ThrowIfNull(subscription);
    GUID id{};
    ThrowIfFailed(subscription->GetId(&id));
    TModifications received = NodeModifyUtils::GetModifications(modifications);
    if (synchronous) {
        if (received.size() != 1)
            ThrowHrWithDescription(kHrInvalidData, "A synchronous notification must carry one modification, not " +
                                                       std::to_string(received.size()));
        const auto shared = m_shared;
        if (CallbackGateEntry entry{shared->gate}) shared->singleCallback(id, received[0].path, received[0].node);
        return S_OK;
    }
    std::lock_guard guard(m_lock);
    if (log::IsEnabled(log::Severity::Dbg3))
        CV_LOG(Dbg3, "DatabaseManagement config subscription with id " << id << " triggered");
    if (!m_shared->gate.IsOpen()) return S_OK;
    TModifications& pending = m_pending[id];
    pending.insert(pending.end(), std::make_move_iterator(received.begin()), std::make_move_iterator(received.end()));
    return S_OK;
}
CV_CATCH_RETURN()

void CConfigSubscriptionsSink::IntPublishModifications()
{
    CV_TRACE_METHOD(Dbg3);
    // A callback may end the sink: from here on only locals are touched.
    const auto shared = m_shared;
    std::map<GUID, TModifications> published;
    {
        std::lock_guard guard(m_lock);
        published.swap(m_pending);
    }
    for (auto& [id, modifications] : published) {
        CallbackGateEntry entry{shared->gate};
        if (!entry) break;
        try {
            shared->batchCallback(id, std::move(modifications));
        } catch (const HRX& error) {
            CV_LOG(Warn, "Config modify callback returned error " << ErrorText(error));
        } catch (const std::exception& error) {
            CV_LOG(Warn, "Config modify callback returned error " << error.what());
        } catch (...) {
            CV_LOG(Warn, "Config modify callback returned error (unknown exception)");
        }
    }
}

void CConfigSubscriptionsSink::Close()
{
    m_shared->gate.Close();
    std::lock_guard guard(m_lock);
    m_pending.clear();
}

}  // namespace CfgSubscriptionsHelpers
