// Request context operations over "Core.RequestContextMgr".
#include "common/ServiceLayer/RequestContext.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"

namespace cvn {

ComPtr<IRequestContext> GetRequestContext(uint32_t kind, bool copy)
{
    const auto manager = FindNamedInstance<IRequestContextMgr>(kRequestContextMgrName);
    if (!manager) return nullptr;
    ComPtr<IRequestContext> context;
    ThrowIfFailed(manager->GetContext(kind, context.Put()));
    if (copy) context = CopyRequestContext(kind, context.Get());
    return context;
}

ComPtr<IRequestContext> CopyRequestContext(uint32_t value, IRequestContext* source)
{
    const auto manager = GetNamedInstance<IRequestContextMgr>(kRequestContextMgrName);
    ComPtr<IRequestContext> copy;
    ThrowIfFailed(manager->CopyContext(value, source, copy.Put()));
    ThrowIfNull(copy);  // success without a context would pass as a valid copy
    return copy;
}

bool IsCurrentRequestCancelled()
{
    const auto context = GetRequestContext(kRequestContextCurrent);
    if (!context) return false;
    ComPtr<IRequestState> state;
    ThrowIfFailed(context->GetRequestState(state.Put()));
    if (!state) return false;
    BOOL cancelled = 0;
    ThrowIfFailed(state->IsCancelled(&cancelled));
    return cancelled != 0;
}

CRequestContextScope::CRequestContextScope(IRequestContext* context) : m_context(context)
{
    if (m_context) ThrowIfFailed(m_context->GetKind(&m_kind));
    m_manager = FindNamedInstance<IRequestContextMgr>(kRequestContextMgrName);
    if (m_manager) ThrowIfFailed(m_manager->SetContext(m_kind, m_context.Get(), m_previous.Put()));
}

CRequestContextScope::~CRequestContextScope()
{
    if (!m_manager) return;
    const HRESULT hr = m_manager->SetContext(m_kind, m_previous.Get(), nullptr);
    // CV_LOG never throws: a failure while building the line only marks it.
    if (hr < 0)
        CV_LOG(Warn, "Unable to restore old context " << static_cast<const void*>(m_previous.Get()) << ": "
                                                      << ErrorText(HRX(hr)));
}

}  // namespace cvn
