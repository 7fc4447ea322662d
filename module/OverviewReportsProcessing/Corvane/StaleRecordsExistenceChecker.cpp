// Presence query, cache and change notification subscription of the stale records checker.
#include "module/OverviewReportsProcessing/Corvane/StaleRecordsExistenceChecker.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "common/ServiceLayer/RequestContext.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"
#include "module/OverviewReportsProcessing/Corvane/OverviewCountersRetriever.h"

namespace Corvane {

using namespace cvn;

namespace {

QxNodePtr NewTimeLeaf(SystemTimePoint time, const char* comparator)
{
    QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
    leaf.SetAttribute("Columnn", "When");
    leaf.SetAttribute("Value", FormatQueryTime(time));
    leaf.SetAttribute("Comparator", comparator);
    return leaf;
}

void SetType4(const QxNodePtr& node, std::string_view name, int32_t value)
{
    node.SetAttributeRaw(name, QXN_TYPE_INT32_ALT, &value, sizeof value);
}

}  // namespace

CStaleRecordsExistenceChecker::CStaleRecordsExistenceChecker(const QxNodePtr& config)
{
    ThrowIfNull(config);
    m_dsmInstanceName = config.GetRequiredAttribute<std::string>("DSMInstName");
    m_checkInterval = std::chrono::seconds(config.GetRequiredAttribute<int64_t>("CheckIntervalSec"));
    uint32_t stored = 0;
    if (!config.HasAttribute("SupressedProductIds", &stored)) QxNodePtr::ThrowMissingAttribute("SupressedProductIds");
    if (stored & QXN_TYPE_ARRAY)
        m_suppressedProductIds = config.GetRequiredAttribute<std::vector<int32_t>>("SupressedProductIds");
    else
        m_suppressedProductIds = {config.GetRequiredAttribute<int32_t>("SupressedProductIds")};

    m_retrieverConfig = QxNodePtr::Create("Retriever");
    uint32_t waitType = 0;
    if (!config.HasAttribute("WaitIntervalMs", &waitType)) QxNodePtr::ThrowMissingAttribute("WaitIntervalMs");
    if (waitType == QXN_TYPE_INT32 || waitType == QXN_TYPE_INT32_ALT) {
        const int32_t wait = config.GetRequiredAttribute<int32_t>("WaitIntervalMs");
        m_retrieverConfig.SetAttributeRaw("WaitIntervalMs", static_cast<uint16_t>(waitType), &wait, sizeof wait);
    } else {
        m_retrieverConfig.SetAttribute("WaitIntervalMs", config.GetRequiredAttribute<int64_t>("WaitIntervalMs"));
    }
    m_retrieverConfig.SetAttribute("QueriesProcessorUri", config.GetRequiredAttribute<std::string>("QueriesProcessorUri"));
    m_retrieverConfig.SetAttribute("CaptureContext", false);
}

QxNodePtr CStaleRecordsExistenceChecker::BuildPresenceQuery(SystemTimePoint from, SystemTimePoint till) const
{
    const QxNodePtr query = QxNodePtr::Create({}, "Query");
    SetType4(query, "Page_size", 1);
    SetType4(query, "Top", 1);
    query.SetAttribute("Paged_result", true);
    query.SetAttribute("Stateless", false);
    query.SetAttribute("Continuous", false);
    query.SetAttribute("PersistentMembership", false);
    query.SetAttribute("Query_Template_Name", "query_top_data_no_order");
    query.SetAttribute("Suppressed_Auditing_systems", m_suppressedProductIds);
    const QxNodePtr conditions = QxNodePtr::Create("Conditions", "ConditionsRoot");
    const QxNodePtr condition = QxNodePtr::Create("Condition", "Condition");
    condition.SetAttribute("operator", "AND");
    condition.AddChild(NewTimeLeaf(from, ">="));
    condition.AddChild(NewTimeLeaf(till, "<="));
    conditions.AddChild(condition);
    query.AddChild(conditions);
    return query;
}

bool CStaleRecordsExistenceChecker::IsStaleRecordsPresent(SystemTimePoint from, SystemTimePoint till) noexcept
{
    CV_TRACE_METHOD(Dbg);
    bool result = false;
    try {
        const bool wasDirty = m_dirty.exchange(false);
        std::shared_lock reading(m_lock);
        const SteadyTimePoint now = SteadyNow();
        const bool needed = !m_cachedResult || wasDirty || m_lastCheck + m_checkInterval < now || m_lastCheck > now;
        if (needed) {
            reading.unlock();
            std::unique_lock writing(m_lock);
            ExecuteCheckPresenseQuery(from, till);
            result = m_cachedResult.GetChildCount() > 0;
        } else {
            result = m_cachedResult.GetChildCount() > 0;
        }
    } catch (...) {
        ResultFromCaughtException("Corvane::CStaleRecordsExistenceChecker::IsStaleRecordsPresent");
    }
    CV_LOG(Dbg, "Stale records existence result: " << result);
    return result;
}

void CStaleRecordsExistenceChecker::ExecuteCheckPresenseQuery(SystemTimePoint from, SystemTimePoint till)
{
    try {
        SubscribeToDSMChanges();
        const ComPtr<IRequestContext> context = CopyRequestContext(1, nullptr);
        CRequestContextScope scope(context.Get());
        const QxNodePtr query = BuildPresenceQuery(from, till);
        CV_LOG(Dbg, "Check existence query: " << query);
        QxNodePtr data;
        {
            const auto retriever = CreateComponent<CDataRetriever>(query, m_retrieverConfig);
            IQxNode* raw = nullptr;
            ThrowIfFailed(retriever->GetData(&raw));
            data = QxNodePtr(raw, QxNodePtr::Attach{});
        }
        m_cachedResult = data.Clone();
        m_lastCheck = SteadyNow();
        CV_LOG(Dbg, "Check presence query result:" << m_cachedResult);
    } catch (...) {
        ResultFromCaughtException("Corvane::CStaleRecordsExistenceChecker::ExecuteCheckPresenseQuery");
        m_dirty.store(true);
        m_cachedResult = nullptr;
        throw;
    }
}

void CStaleRecordsExistenceChecker::SubscribeToDSMChanges()
{
    // Once per checker: a failed attempt leaves it unsubscribed, so the next check tries again.
    std::lock_guard guard(m_dsmLock);
    if (m_subscribed) return;
    CV_TRACE_METHOD(Dbg);
    try {
        const auto dsm = GetNamedInstance<IDsmNotifications>(m_dsmInstanceName);
        ThrowIfFailed(dsm->Subscribe(this));
        m_dsm = dsm;
        m_subscribed = true;
    } catch (...) {
        ResultFromCaughtException("Corvane::CStaleRecordsExistenceChecker::SubscribeToDSMChanges");
        throw;
    }
}

void CStaleRecordsExistenceChecker::Shutdown() noexcept
{
    CV_TRACE_METHOD(Dbg);
    ComPtr<IDsmNotifications> dsm;
    {
        std::lock_guard guard(m_dsmLock);
        dsm = std::move(m_dsm);
    }
    if (!dsm) return;
    try {
        ThrowIfFailed(dsm->Unsubscribe(this));
    } catch (...) {
        ResultFromCaughtException("Corvane::CStaleRecordsExistenceChecker::Shutdown");
    }
}

HRESULT CStaleRecordsExistenceChecker::OnModify(IQxNode*) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    m_dirty.store(true);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CStaleRecordsExistenceChecker::OnAdded(IQxNode*) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    m_dirty.store(true);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CStaleRecordsExistenceChecker::OnRemoved(IQxNode*) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    m_dirty.store(true);
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace Corvane
