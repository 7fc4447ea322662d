// CStaleRecordsExistenceChecker: tells whether any audited record exists in a
// time stretch, by a one-row presence query through a data retriever; the
// answer is cached until CheckIntervalSec passes or a change notification
// arrives. Thread safety: every method may be called from any thread; checks
// run one at a time under the exclusive lock, cache reads share it.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/Helpers/Clock.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ServiceInterfaces.h"

namespace Corvane {

class CStaleRecordsExistenceChecker : public cvn::Implements<cvn::IDsmChangesSink> {
public:
    /// Reads DSMInstName, CheckIntervalSec, SupressedProductIds, WaitIntervalMs and QueriesProcessorUri;
    /// a missing one throws HRX 0x80070490, a null node E_POINTER.
    explicit CStaleRecordsExistenceChecker(const cvn::QxNodePtr& config);

    /// True when a record exists between from and till; any failure is logged and answers false.
    bool IsStaleRecordsPresent(cvn::SystemTimePoint from, cvn::SystemTimePoint till) noexcept;
    /// Ends the change notification subscription; a refusal is logged. Never throws.
    void Shutdown() noexcept;

    /// Each marks the cached answer outdated; the change node is not read.
    HRESULT OnModify(::IQxNode* change) noexcept override;
    HRESULT OnAdded(::IQxNode* change) noexcept override;
    HRESULT OnRemoved(::IQxNode* change) noexcept override;

    /// The presence query for the stretch (also for tests of its shape).
    cvn::QxNodePtr BuildPresenceQuery(cvn::SystemTimePoint from, cvn::SystemTimePoint till) const;

private:
    void ExecuteCheckPresenseQuery(cvn::SystemTimePoint from, cvn::SystemTimePoint till);
    void SubscribeToDSMChanges();

    cvn::QxNodePtr m_cachedResult;
    cvn::QxNodePtr m_retrieverConfig;
    std::atomic<bool> m_dirty{true};
    cvn::SteadyTimePoint m_lastCheck{};
    std::shared_mutex m_lock;
    std::string m_dsmInstanceName;
    bool m_subscribed = false;  // under m_dsmLock; std::call_once cannot be retried safely after a throw
    std::chrono::seconds m_checkInterval{0};
    std::vector<int32_t> m_suppressedProductIds;
    std::mutex m_dsmLock;  // guards m_subscribed and m_dsm between the checks and Shutdown
    cvn::ComPtr<cvn::IDsmNotifications> m_dsm;
};

}  // namespace Corvane
