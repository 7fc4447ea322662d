// The questions the meta info provider answers: retrieve method, time ranges, time range validity.
#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoProvider.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"

namespace Corvane {

using namespace cvn;
using OverviewReportsProcessing::MaskHelper;

namespace {

constexpr int32_t kMethodChoose = 0;
constexpr int32_t kMethodFast = 1;
constexpr int32_t kMethodStandard = 2;

}  // namespace

QxNodePtr CMetaInfoProvider::GetTimeRange(bool isDefault, int32_t offset)
{
    CV_TRACE_METHOD(Dbg);
    std::lock_guard guard(m_mutex);
    ThrowIf(!m_status, kHrNotFound, "The meta info provider is not configured");
    const SystemTimePoint start = ParseUtcTime(m_status.GetRequiredAttribute<std::string>("StartTime"));
    const SystemTimePoint now = SystemNow();
    const SystemTimePoint dayStart = DayStart(now, m_defaultTimeRangeInHour.load(), offset);
    const SystemTimePoint from = isDefault ? dayStart : std::max(start, dayStart);
    QxNodePtr range = QxNodePtr::Create("TimeRange");
    range.SetAttribute("TimeFrom", FormatUtcTime(from));
    range.SetAttribute("TimeTill", FormatUtcTime(now));
    return range;
}

bool CMetaInfoProvider::CheckTimeRangeValid(const QxNodePtr& requested, int32_t offset)
{
    CV_TRACE_METHOD(Dbg);
    CV_LOG(Dbg, "Requested TimeRange: " << requested);
    const SystemTimePoint requestedFrom = ParseUtcTime(requested.GetRequiredAttribute<std::string>("TimeFrom"));
    const QxNodePtr defaultRange = GetTimeRange(true, offset);
    if (requestedFrom < ParseUtcTime(defaultRange.GetRequiredAttribute<std::string>("TimeFrom"))) return false;

    SystemTimePoint start;
    ComPtr<Checker> checker;
    {
        std::lock_guard guard(m_mutex);
        start = ParseUtcTime(m_status.GetRequiredAttribute<std::string>("StartTime"));
        if (start <= requestedFrom) return true;
        CV_LOG(Dbg, "Status " << m_status);
        checker = m_staleChecker;
    }
    ThrowIf(!checker, kHrNotFound, "The meta info provider is not configured");
    const SystemTimePoint checkFrom = DayStart(start, m_defaultTimeRangeInHour.load(), offset);
    return !checker->IsStaleRecordsPresent(checkFrom, start);
}

bool CMetaInfoProvider::CheckFastFilterValid(int32_t offset, const QxNodePtr& request)
{
    CV_TRACE_METHOD(Dbg);
    bool valid = true;
    if (const QxNodePtr timeRange = request.GetChild("TimeRange", false)) valid = CheckTimeRangeValid(timeRange, offset);
    if (!valid) return false;
    const MaskHelper& metrics = MaskHelper::Instance();
    const auto mask = FilterHelper::MakeTotalFiltersMask(request);
    if (!metrics.CheckMaskValid(mask)) return false;
    std::string preset;
    const bool hasPreset = request.GetAttribute("PresetConditionName", preset);
    metrics.ForCountersGroup(metrics.GetFullMask(mask), [&](const OverviewReportsProcessing::GroupInfo& group,
                                                            const OverviewReportsProcessing::TableColumnNames&) {
        if (group.PresetNames.empty() && !hasPreset)
            valid = true;
        else
            valid = group.PresetNames.count(hasPreset ? preset : std::string("DefaultPreset")) > 0;
    });
    return valid;
}

void CMetaInfoProvider::GetMethod(const QxNodePtr& request, const QxNodePtr& answer)
{
    const int32_t method = request.GetAttributeOr<int32_t>("RetrieveMethod", kMethodChoose);
    const int32_t offset = request.GetAttributeOr<int32_t>("TimeZoneOffsetSec", 0);
    int32_t chosen = kMethodStandard;
    if (method != kMethodFast) {
        if (method == kMethodChoose && m_fastEnabled.load() && CheckFastFilterValid(offset, request)) chosen = kMethodFast;
    } else {
        if (!m_fastEnabled.load())
            CV_FAIL_LOGGED("Corvane::CMetaInfoProvider::GetMethod", kHrInvalidData, "The fast method is disabled.");
        if (!CheckFastFilterValid(offset, request))
            CV_FAIL_LOGGED("Corvane::CMetaInfoProvider::GetMethod", kHrInvalidData,
                           "The provided filter cannot be processed quickly.");
        chosen = kMethodFast;
    }
    answer.SetAttribute("RetrieveMethod", chosen);
}

HRESULT CMetaInfoProvider::GetRetrieveMethod(IQxNode* request, IQxNode** answer) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIf(!request || !answer, E_POINTER);
    *answer = nullptr;
    const QxNodePtr requestNode(request);
    if (requestNode.GetType() != "GetRetrieveMethodRequest")
        ThrowHrWithDescription(E_INVALIDARG, "Not a retrieve method request: " + requestNode.GetType());
    QxNodePtr result = QxNodePtr::Create({}, "GetRetrieveMethodResponse");
    try {
        GetMethod(requestNode, result);
        WriteResultToNode(result, HRX());
    } catch (const HRX& error) {
        WriteResultToNode(result, error);
    }
    CV_LOG(Dbg3, "Result mtthod: " << result);
    *answer = result.Detach();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CMetaInfoProvider::GetDefaultTimeRange(int32_t timeZoneOffsetSec, IQxNode** timeRange) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIfNull(timeRange);
    *timeRange = GetTimeRange(true, timeZoneOffsetSec).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CMetaInfoProvider::GetAvailableTimeRange(int32_t timeZoneOffsetSec, IQxNode** timeRange) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIfNull(timeRange);
    *timeRange = GetTimeRange(false, timeZoneOffsetSec).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CMetaInfoProvider::IsTimeRangeValid(int32_t timeZoneOffsetSec, IQxNode* timeRange, BOOL* valid) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIf(!timeRange || !valid, E_POINTER);
    *valid = CheckTimeRangeValid(QxNodePtr(timeRange), timeZoneOffsetSec) ? 1 : 0;
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace Corvane
