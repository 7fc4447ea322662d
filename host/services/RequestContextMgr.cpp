// The host's request context manager. Slots live in a map keyed by thread id
// rather than in thread_local storage, so that several managers (one per test,
// say) never see each other's bindings.
#include "host/services/RequestContextMgr.h"

namespace cvn::host {

ComPtr<CComponentObject<CRequestContext>> CRequestContextMgr::CreateContext(uint32_t kind,
                                                                              const std::string& callerName)
{
    return CreateComponent<CRequestContext>(kind, callerName);
}

size_t CRequestContextMgr::BoundThreadCount()
{
    std::lock_guard lock(m_lock);
    return m_threads.size();
}

HRESULT CRequestContextMgr::GetContext(uint32_t kind, IRequestContext** context) noexcept
try {
    if (!context) return E_POINTER;
    *context = nullptr;
    std::lock_guard lock(m_lock);
    const auto thread = m_threads.find(std::this_thread::get_id());
    if (thread == m_threads.end()) return S_FALSE;
    const auto slot = thread->second.find(kind);
    if (slot == thread->second.end()) return S_FALSE;
    *context = ComPtr<IRequestContext>(slot->second).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CRequestContextMgr::SetContext(uint32_t kind, IRequestContext* context, IRequestContext** previous) noexcept
try {
    if (previous) *previous = nullptr;
    ComPtr<IRequestContext> old;
    {
        std::lock_guard lock(m_lock);
        const auto id = std::this_thread::get_id();
        auto thread = m_threads.find(id);
        if (thread != m_threads.end()) {
            const auto slot = thread->second.find(kind);
            if (slot != thread->second.end()) {
                old = std::move(slot->second);
                thread->second.erase(slot);
            }
        }
        if (context) {
            if (thread == m_threads.end()) thread = m_threads.emplace(id, Slots{}).first;
            thread->second.emplace(kind, ComPtr<IRequestContext>(context));
        } else if (thread != m_threads.end() && thread->second.empty()) {
            m_threads.erase(thread);
        }
    }
    // Released outside the lock: a context's last release may run arbitrary code.
    if (previous) *previous = old.Detach();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CRequestContextMgr::CopyContext(uint32_t value, IRequestContext* source, IRequestContext** copy) noexcept
try {
    if (!copy) return E_POINTER;
    *copy = nullptr;
    if (source)
        *copy = CreateComponent<CRequestContext>(value, *source).Detach();
    else
        *copy = CreateComponent<CRequestContext>(value, std::string()).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace cvn::host
