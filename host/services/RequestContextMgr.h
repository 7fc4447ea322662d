// The host's request context manager ("Core.RequestContextMgr"): per-thread
// context slots by kind, copies that outlive their request, and the host's
// side (creating contexts for the requests it serves).
// Thread safety: every method may be called from any thread; the slots of a
// thread are only ever read and bound by that thread.
#pragma once

#include <map>
#include <mutex>
#include <thread>

#include "host/services/RequestContext.h"

namespace cvn::host {

class CRequestContextMgr : public Implements<IRequestContextMgr> {
public:
    /// A new context of the given kind for a request the host starts serving (not bound).
    ComPtr<CComponentObject<CRequestContext>> CreateContext(uint32_t kind, const std::string& callerName);
    /// How many threads have at least one context bound (slots are freed when set back to null).
    size_t BoundThreadCount();

    /// S_FALSE with null when the thread has none of that kind; E_POINTER for a null out.
    HRESULT GetContext(uint32_t kind, IRequestContext** context) noexcept override;
    /// Binding null frees the slot; previous may be null.
    HRESULT SetContext(uint32_t kind, IRequestContext* context, IRequestContext** previous) noexcept override;
    /// value is the kind of the copy. The copy shares the source's id, caller, creation time and
    /// cancellation state; a null source gives a fresh context (new id, own state).
    HRESULT CopyContext(uint32_t value, IRequestContext* source, IRequestContext** copy) noexcept override;

private:
    using Slots = std::map<uint32_t, ComPtr<IRequestContext>>;

    std::mutex m_lock;
    std::map<std::thread::id, Slots> m_threads;
};

}  // namespace cvn::host
