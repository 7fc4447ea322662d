// Configuration, status and settings subscription of the meta info provider.
#include "module/OverviewReportsProcessing/Corvane/MetaInfoProvider.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "module/OverviewReportsProcessing/ClassTable.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"

namespace Corvane {

using namespace cvn;

namespace {

const ClassRegistration<CMetaInfoProvider> kRegistration{CLSID_MetaInfoProvider};

constexpr uint32_t kSettingsChangesMask = 31;
constexpr uint32_t kSettingsSubscribeOptions = 11;

}  // namespace

CMetaInfoProvider::CMetaInfoProvider(std::chrono::milliseconds settingsInterval) : m_settingsInterval(settingsInterval) {}

CMetaInfoProvider::~CMetaInfoProvider() { StopAll(); }

void CMetaInfoProvider::StopAll() noexcept
{
    std::unique_ptr<CfgSubscriptionsHelpers::ConfigSubscriber> subscriber;
    ComPtr<Checker> checker;
    {
        std::lock_guard configuring(m_configureLock);
        subscriber = std::move(m_settingsSubscriber);
        std::lock_guard guard(m_mutex);
        checker = m_staleChecker;  // kept: requests after Shutdown still get an answer
    }
    // Outside the locks: destroying the subscriber at the end of this scope waits for a running callback,
    // which takes m_mutex.
    if (subscriber) subscriber->Stop();
    if (checker) checker->Shutdown();
}

void CMetaInfoProvider::UpdateStatus()
{
    std::lock_guard guard(m_mutex);
    if (!m_status) m_status = QxNodePtr::Create();
    m_status.SetAttribute("StartTime", FormatUtcTime(SystemNow()));
    WriteConfigNode(ConfigSource::ConfigServer, kStatusPath, m_status);
}

void CMetaInfoProvider::OnSettings(const QxNodePtr& settings, const std::string& attributeName, bool published)
{
    try {
        ThrowIf(!settings, kHrNotFound, "The overview settings node was removed");
        const bool enabled = settings.GetRequiredAttribute<bool>(attributeName);
        m_fastEnabled.store(enabled);
        // Only a published batch restarts the metrics; a synchronous notification just switches.
        if (enabled && published) UpdateStatus();
    } catch (...) {
        ResultFromCaughtException("Corvane::CMetaInfoProvider::OnSettings");
    }
}

HRESULT CMetaInfoProvider::Configure(IQxNode* configuration) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIfNull(configuration);
    const QxNodePtr config(configuration);
    const int32_t hours = config.GetRequiredAttribute<int32_t>("DefaultTimeRangeInHour");
    const auto checker = CreateComponent<CStaleRecordsExistenceChecker>(config.GetChild("StaleRecordsExistenceChecker"));
    const std::string settingsPath = config.GetRequiredAttribute<std::string>("OverviewSettingsCfgPath");
    const std::string attributeName = config.GetRequiredAttribute<std::string>("EnableSettingsAttrName");

    std::lock_guard configuring(m_configureLock);
    {
        QxNodePtr status = ReadConfigNode(ConfigSource::ConfigServer, kStatusPath, false);
        std::lock_guard guard(m_mutex);
        m_status = std::move(status);
    }
    bool hasStatus = false;
    {
        std::lock_guard guard(m_mutex);
        hasStatus = static_cast<bool>(m_status);
    }
    if (!hasStatus) UpdateStatus();

    auto subscriber = std::make_unique<CfgSubscriptionsHelpers::ConfigSubscriber>(
        settingsPath,
        [this, attributeName](const std::string&, const QxNodePtr& node) { OnSettings(node, attributeName, false); },
        [this, attributeName](const std::string&, const QxNodePtr& node) { OnSettings(node, attributeName, true); },
        kSettingsChangesMask, kSettingsSubscribeOptions, m_settingsInterval);
    subscriber->Start();

    // Only a complete configuration replaces the previous one.
    m_defaultTimeRangeInHour.store(hours);
    std::swap(m_settingsSubscriber, subscriber);
    ComPtr<Checker> previousChecker;
    {
        std::lock_guard guard(m_mutex);
        previousChecker = std::exchange(m_staleChecker, checker);
    }
    if (subscriber) subscriber->Stop();
    if (previousChecker) previousChecker->Shutdown();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CMetaInfoProvider::Shutdown() noexcept
try {
    CV_TRACE_METHOD(Dbg);
    StopAll();
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace Corvane
