// The scripted queries processor.
#include "tests/support/QueriesProcessorStandIn.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/ServiceLayer/RequestContext.h"

namespace cvn::host {

void CQueriesProcessorStandIn::SetScripter(Scripter scripter)
{
    std::lock_guard guard(m_lock);
    m_scripter = std::move(scripter);
}

void CQueriesProcessorStandIn::SetScript(QueryScript script)
{
    SetScripter([script](const QxNodePtr&) { return script; });
}

QxNodePtr CQueriesProcessorStandIn::Accept(const QxNodePtr& query, QueryCall& call)
{
    Scripter scripter;
    {
        std::lock_guard guard(m_lock);
        scripter = m_scripter;
    }
    const QueryScript script = scripter ? scripter(query) : QueryScript{};
    if (script.acceptFailure < 0) ThrowHrWithDescription(script.acceptFailure, "The query was refused by script");
    if (script.nullHandle) return nullptr;
    std::lock_guard guard(m_lock);
    const int64_t id = m_nextHandle++;
    m_handles[id] = HandleState{script, call.queryName, 0, false};
    call.handleId = id;
    QxNodePtr handle = QxNodePtr::Create("QueryHandle", "QueryHandle");
    handle.SetAttribute("HandleId", id);
    return handle;
}

QxNodePtr CQueriesProcessorStandIn::Poll(HandleState& state) const
{
    const bool running = state.script.runningPolls < 0 || state.polls <= state.script.runningPolls;
    QxNodePtr answer;
    if (running) {
        answer = QxNodePtr::Create("Running");
        answer.SetAttribute("Status", int32_t{1});
        return answer;
    }
    answer = state.script.resultText.empty() ? QxNodePtr::Create("Result") : QxNodePtr::Parse(state.script.resultText);
    answer.SetAttribute("Status", int32_t{0});
    if (state.script.errorResult != S_OK) answer.SetAttribute("Error_Result", state.script.errorResult);
    if (!state.script.errorSerialized.empty()) answer.SetAttribute("Error_Serialized", state.script.errorSerialized);
    return answer;
}

HRESULT CQueriesProcessorStandIn::ProcessRequest(IQxNode* request, IQxNode** response) noexcept
{
    if (!request || !response) return E_POINTER;
    *response = nullptr;
    QueryCall call;
    try {
        const QxNodePtr node(request);
        call.node = node.Clone();
        if (const ComPtr<IRequestContext> context = GetRequestContext(1)) {
            call.hasContext = true;
            context->GetRequestId(&call.contextRequestId);
        }
        int64_t id = 0;
        if (!node.GetAttribute("HandleId", id)) {
            call.kind = QueryCallKind::Query;
            call.queryName = node.GetName();
            if (node.GetType().empty()) ThrowHrWithDescription(E_INVALIDARG, "Neither a query nor a handle");
            *response = Accept(node, call).Detach();
        } else {
            call.handleId = id;
            call.kind = node.GetAttributeOr<bool>("FreeResult", false) ? QueryCallKind::Free : QueryCallKind::Poll;
            QxNodePtr answer;
            {
                std::lock_guard guard(m_lock);
                const auto found = m_handles.find(id);
                if (found == m_handles.end() || found->second.released)
                    ThrowHrWithDescription(kHrNotFound, "Unknown or released handle " + std::to_string(id));
                call.queryName = found->second.queryName;
                if (call.kind == QueryCallKind::Free) {
                    found->second.released = true;
                } else {
                    ++found->second.polls;
                    answer = Poll(found->second);
                }
            }
            *response = answer.Detach();
        }
    } catch (const HRX& error) {
        call.answered = error.Code();
    } catch (...) {
        call.answered = E_UNEXPECTED;
    }
    const HRESULT answered = call.answered;
    Record(std::move(call));
    return answered;
}

void CQueriesProcessorStandIn::Record(QueryCall call)
{
    {
        std::lock_guard guard(m_lock);
        m_calls.push_back(std::move(call));
    }
    m_changed.notify_all();
}

std::vector<QueryCall> CQueriesProcessorStandIn::Calls() const
{
    std::lock_guard guard(m_lock);
    return m_calls;
}

size_t CQueriesProcessorStandIn::Count(QueryCallKind kind) const
{
    std::lock_guard guard(m_lock);
    size_t count = 0;
    for (const QueryCall& call : m_calls) count += call.kind == kind && call.answered == S_OK ? 1 : 0;
    return count;
}

std::vector<int64_t> CQueriesProcessorStandIn::UnreleasedHandles() const
{
    std::lock_guard guard(m_lock);
    std::vector<int64_t> open;
    for (const auto& [id, state] : m_handles)
        if (!state.released) open.push_back(id);
    return open;
}

bool CQueriesProcessorStandIn::WaitFor(QueryCallKind kind, size_t count, std::chrono::milliseconds limit) const
{
    std::unique_lock guard(m_lock);
    return m_changed.wait_for(guard, limit, [&] {
        size_t seen = 0;
        for (const QueryCall& call : m_calls) seen += call.kind == kind && call.answered == S_OK ? 1 : 0;
        return seen >= count;
    });
}

void CQueriesProcessorStandIn::Clear()
{
    std::lock_guard guard(m_lock);
    m_calls.clear();
    m_handles.clear();
}

}  // namespace cvn::host
