// CMetaInfoProvider: chooses the retrieve method of a request (fast, from the
// pre-aggregated metrics, or standard), gives the default and available time
// ranges, and keeps the metrics start time in "\Statuses\OverviewMetricsStatus".
// Thread safety: every method may be called from any thread once configured;
// the status node is guarded by m_mutex, the fast switch is atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"
#include "module/OverviewReportsProcessing/Corvane/RetrievalInterfaces.h"
#include "module/OverviewReportsProcessing/Corvane/StaleRecordsExistenceChecker.h"

namespace Corvane {

class CMetaInfoProvider : public cvn::Implements<cvn::IComponentWithShutdown, cvn::IConfigurableComponent,
                                                     cvn::IMetaInfoProvider> {
public:
    static constexpr std::string_view kStatusPath = "\\Statuses\\OverviewMetricsStatus";

    /// settingsInterval: how often gathered settings notifications are published (tests shorten it).
    explicit CMetaInfoProvider(std::chrono::milliseconds settingsInterval = std::chrono::seconds(1));
    /// Stops the subscription and the stale records checker if Shutdown did not.
    ~CMetaInfoProvider();

    /// E_POINTER for null; 0x80070490 for a missing setting; the store's or subscription's code otherwise.
    HRESULT Configure(::IQxNode* configuration) noexcept override;
    /// Stops following the settings and ends the checker's subscription; never fails.
    HRESULT Shutdown() noexcept override;

    /// Time range nodes; E_POINTER for a null out, 0x80070490 without a recorded "StartTime".
    HRESULT GetDefaultTimeRange(int32_t timeZoneOffsetSec, ::IQxNode** timeRange) noexcept override;
    HRESULT GetAvailableTimeRange(int32_t timeZoneOffsetSec, ::IQxNode** timeRange) noexcept override;
    /// *valid 1 when the fast method can serve the range's "TimeFrom"; E_POINTER for null arguments.
    HRESULT IsTimeRangeValid(int32_t timeZoneOffsetSec, ::IQxNode* timeRange, BOOL* valid) noexcept override;
    /// An answer with "ResultCode" (and "RetrieveMethod" 1 or 2, or "ErrorSerialized"); fails itself only
    /// for null arguments (E_POINTER) or a request of another node type (E_INVALIDARG).
    HRESULT GetRetrieveMethod(::IQxNode* request, ::IQxNode** answer) noexcept override;

    /// The fast method switch as the settings last set it (tests).
    bool IsFastEnabled() const noexcept { return m_fastEnabled.load(); }

private:
    void UpdateStatus();
    void OnSettings(const cvn::QxNodePtr& settings, const std::string& attributeName, bool published);
    void GetMethod(const cvn::QxNodePtr& request, const cvn::QxNodePtr& answer);
    bool CheckFastFilterValid(int32_t offset, const cvn::QxNodePtr& request);
    bool CheckTimeRangeValid(const cvn::QxNodePtr& requested, int32_t offset);
    cvn::QxNodePtr GetTimeRange(bool isDefault, int32_t offset);
    void StopAll() noexcept;

    using Checker = cvn::CComponentObject<CStaleRecordsExistenceChecker>;

    std::mutex m_mutex;
    cvn::QxNodePtr m_status;
    std::unique_ptr<CfgSubscriptionsHelpers::ConfigSubscriber> m_settingsSubscriber;
    std::atomic<bool> m_fastEnabled{false};
    std::atomic<int32_t> m_defaultTimeRangeInHour{0};
    cvn::ComPtr<Checker> m_staleChecker;  // replaced under m_mutex

    std::chrono::milliseconds m_settingsInterval;
    std::mutex m_configureLock;  // serializes Configure and Shutdown
};

}  // namespace Corvane
