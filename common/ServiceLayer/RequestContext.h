// The host's per-thread request contexts: reading the calling thread's
// context, copying one so that it outlives its request, and a scope that binds
// a context to the current thread. Without "Core.RequestContextMgr" reading and
// binding do nothing. Thread safety: free functions from any thread; a scope
// is created and destroyed on one thread, nested scopes in reverse order.
#pragma once

#include <cstdint>

#include "corvane/ComPtr.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn {

/// The kind of the request being served on a thread.
inline constexpr uint32_t kRequestContextCurrent = 0;

/// The calling thread's context of that kind (copied when copy is set); null without a manager or
/// without a bound context. Other failures throw HRX.
ComPtr<IRequestContext> GetRequestContext(uint32_t kind, bool copy = false);

/// An independent copy of source (a fresh context for null); throws HRX, 0x80070490 without a manager.
ComPtr<IRequestContext> CopyRequestContext(uint32_t value, IRequestContext* source);

/// True when the calling thread serves a request whose caller cancelled it; false without a manager
/// or context. Failures of the context throw HRX.
bool IsCurrentRequestCancelled();

/// Binds a context (null included) to the calling thread for the context's kind and restores the
/// previous one on destruction. Construction throws HRX on failure; destruction never throws
/// (a failed restore is logged at WARN).
class CRequestContextScope {
public:
    explicit CRequestContextScope(IRequestContext* context);
    ~CRequestContextScope();
    CRequestContextScope(const CRequestContextScope&) = delete;
    CRequestContextScope& operator=(const CRequestContextScope&) = delete;

    /// The kind the scope binds: the context's own, 1 for a null context.
    uint32_t Kind() const noexcept { return m_kind; }

private:
    uint32_t m_kind = 1;
    ComPtr<IRequestContextMgr> m_manager;
    ComPtr<IRequestContext> m_context;
    ComPtr<IRequestContext> m_previous;
};

}  // namespace cvn
