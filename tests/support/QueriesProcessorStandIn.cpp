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
    call.handleId = m_nextHandle++;
    m_handles[call.handleId] = HandleState{script, call.queryName, 0, false};
    QxNodePtr handle = QxNodePtr::Create("QueryHandle", "QueryHandle");
    handle.SetAttribute("HandleId", call.handleId);
    return handle;
}

// A poll or a release of the handle the node names.
QxNodePtr CQueriesProcessorStandIn::Answer(const QxNodePtr& node, QueryCall& call)
{
    call.kind = node.GetAttributeOr<bool>("FreeResult", false) ? QueryCallKind::Free : QueryCallKind::Poll;
    std::lock_guard guard(m_lock);
    const auto found = m_handles.find(call.handleId);
    if (found == m_handles.end() || found->second.released)
        ThrowHrWithDescription(kHrNotFound, "Unknown or released handle " + std::to_string(call.handleId));
    HandleState& state = found->second;
    call.queryName = state.queryName;
    if (call.kind == QueryCallKind::Free) {
        state.released = true;
        return nullptr;
    }
    ++state.polls;
    if (state.script.runningPolls < 0 || state.polls <= state.script.runningPolls) {
        QxNodePtr running = QxNodePtr::Create("Running");
        running.SetAttribute("Status", int32_t{1});
        return running;
    }
    QxNodePtr answer = state.script.resultText.empty() ? QxNodePtr::Create("Result") : QxNodePtr::Parse(state.script.resultText);
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
        if (node.GetAttribute("HandleId", call.handleId)) {
            *response = Answer(node, call).Detach();
        } else {
            call.queryName = node.GetName();
            if (node.GetType().empty()) ThrowHrWithDescription(E_INVALIDARG, "Neither a query nor a handle");
            *response = Accept(node, call).Detach();
        }
    } catch (const HRX& error) {
        call.answered = error.Code();
    } catch (...) {
        call.answered = E_UNEXPECTED;
    }
    const HRESULT answered = call.answered;
    std::lock_guard guard(m_lock);
    m_calls.push_back(std::move(call));
    return answered;
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

}  // namespace cvn::host
