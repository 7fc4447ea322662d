// The gate's registry of retrieve requests: registering, polling and freeing
// them by token, and the garbage collector that drops the ones nobody polls.
#include <vector>

#include "common/Helpers/Clock.h"
#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Corvane/CorvaneGate.h"
#include "module/OverviewReportsProcessing/Corvane/RetrieveCountersContext.h"
#include "module/OverviewReportsProcessing/Corvane/SqlConnectionVerifier.h"

namespace Corvane {

using namespace cvn;

namespace {
constexpr const char* kCookieName = "RetrieveCookie";
constexpr const char* kTokenAttribute = "Token";
}  // namespace

size_t CCorvaneGate::RegisteredContextCount()
{
    std::lock_guard lock(m_contextsLock);
    return m_contexts.size();
}

CCorvaneGate::ContextPtr CCorvaneGate::RemoveContext(const GUID& token, const char* message, bool logAbsent)
{
    std::lock_guard lock(m_contextsLock);
    const auto found = m_contexts.find(token);
    if (found == m_contexts.end()) {
        if (logAbsent) CV_LOG(Dbg, message << token);
        return nullptr;
    }
    CV_LOG(Dbg, message << token);
    ContextPtr context = std::move(found->second);
    m_contexts.erase(found);
    return context;
}

CCorvaneGate::ContextPtr CCorvaneGate::FindRetrieveCountersContext(const GUID& token)
{
    CV_TRACE_METHOD(Dbg);
    CV_LOG(Dbg, "Looking for request with id: " << token);
    std::lock_guard lock(m_contextsLock);
    const auto found = m_contexts.find(token);
    if (found == m_contexts.end()) {
        CV_LOG(Err, "Corvane::CCorvaneGate::FindRetrieveCountersContext failed: Request not found: " << token);
        ThrowHr(kHrNotFound);
    }
    return found->second;
}

CCorvaneGate::ContextPtr CCorvaneGate::GetRetrieveCountersContext(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    QxNodePtr cookie = request.GetChild(kCookieName, false);
    ContextPtr context;
    if (!cookie) {
        ThrowIf(!m_sqlConnectionVerifier || !m_retrieveCountersConfiguration, E_UNEXPECTED);
        m_sqlConnectionVerifier->CheckSqlConnection().ThrowIfFailed();
        cookie = QxNodePtr::Create(kCookieName);
        context = std::make_shared<CRetrieveCountersContext>(m_retrieveCountersConfiguration, request,
                                                             m_productIdRemapper);
        cookie.SetAttribute(kTokenAttribute, context->GetId());
        std::lock_guard lock(m_contextsLock);
        m_contexts.emplace(context->GetId(), context);
    } else {
        context = FindRetrieveCountersContext(cookie.GetRequiredAttribute<GUID>(kTokenAttribute));
    }
    response.SetType("RetrieveCountersResponse");
    response.AddChild(cookie.Clone());
    return context;
}

void CCorvaneGate::RetrieveCookieRequest(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    request.SetType("RetrieveCountersRequest");
    GetRetrieveCountersContext(request, response);
}

void CCorvaneGate::RetrieveCountersRequest(const QxNodePtr& request, const QxNodePtr& response)
{
    CV_TRACE_METHOD(Dbg);
    int32_t status = 2;
    ContextPtr context;
    // A poll ended (or failed) logs its token's removal even when a free or the collector was first.
    const auto failed = [&] {
        if (context) RemoveContext(context->GetId(), "Remove request due error: ", true);
        status = 2;
        response.SetAttribute("RetrieveStatus", status);
    };
    try {
        context = GetRetrieveCountersContext(request, response);
        status = static_cast<int32_t>(context->GetData(request, response));
        if (status != 0) RemoveContext(context->GetId(), "Remove request with id: ", true);
    } catch (const HRX& error) {
        CV_LOG(Err, "Corvane::CCorvaneGate::RetrieveCountersRequest failed: " << error);
        failed();
        throw;
    } catch (...) {
        // Any other failure (an allocation, a thread) is answered like an HRX: logged, token removed, code.
        const HRX error(ResultFromCaughtException("Corvane::CCorvaneGate::RetrieveCountersRequest"));
        failed();
        throw error;
    }
    response.SetAttribute("RetrieveStatus", status);
}

void CCorvaneGate::FreeCookieRequest(const QxNodePtr& request, const QxNodePtr&)
{
    CV_TRACE_METHOD(Dbg);
    const QxNodePtr cookie = request.GetChild(kCookieName, false);
    if (!cookie) return;
    RemoveContext(cookie.GetRequiredAttribute<GUID>(kTokenAttribute), "Remove request with id: ");
}

void CCorvaneGate::GarbageCollector() noexcept
{
    CV_TRACE_METHOD(Dbg);
    // Expired contexts are destroyed after the lock is released: destruction waits for their tasks.
    std::vector<ContextPtr> expired;
    try {
        std::lock_guard lock(m_contextsLock);
        const SystemTimePoint now = SystemNow();
        std::vector<GUID> tokens;
        for (const auto& [token, context] : m_contexts) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - context->GetLastTimeAccess());
            if (elapsed >= m_ttlRequest && elapsed >= context->GetWaitDataInterval()) tokens.push_back(token);
        }
        for (const GUID& token : tokens) {
            CV_LOG(Dbg, "Removed request with token = " << token << ". Cause expired");
            const auto found = m_contexts.find(token);
            expired.push_back(std::move(found->second));
            m_contexts.erase(found);
        }
    } catch (const HRX& error) {
        CV_LOG(Err, "Corvane::CCorvaneGate::GarbageCollector failed: " << error);
    } catch (...) {
        CV_LOG(Err, "Corvane::CCorvaneGate::GarbageCollector failed: unexpected exception");
    }
}

}  // namespace Corvane
