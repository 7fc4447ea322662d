// A request's context as the host keeps it: id, kind, caller, creation time
// and the request state that carries the caller's cancellation.
// Thread safety: every method may be called from any thread; the state is
// shared by a context and all its copies.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "common/Components/ComponentObject.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn::host {

class CRequestState : public Implements<IRequestState> {
public:
    /// E_POINTER for null.
    HRESULT IsCancelled(BOOL* cancelled) noexcept override;
    /// Idempotent.
    HRESULT Cancel() noexcept override;

private:
    std::atomic<bool> m_cancelled{false};
};

class CRequestContext : public Implements<IRequestContext> {
public:
    /// A new request: fresh id, the current time, a state of its own.
    CRequestContext(uint32_t kind, std::string callerName);
    /// A copy under another kind that shares source's id, creation time, caller and state
    /// (any IRequestContext; throws HRX with the failure of reading it).
    CRequestContext(uint32_t kind, IRequestContext& source);

    /// Each getter answers E_POINTER for a null out.
    HRESULT GetRequestId(GUID* id) noexcept override;
    HRESULT GetCreationTime(int64_t* ticks) noexcept override;
    /// 0x8007007A with the needed size (characters, NUL included) when the buffer is short or null.
    HRESULT GetCallerName(char16_t* buffer, uint32_t* size) noexcept override;
    HRESULT GetKind(uint32_t* kind) noexcept override;
    /// Null clears the name.
    HRESULT SetCallerName(const char16_t* name) noexcept override;
    HRESULT GetRequestState(IRequestState** state) noexcept override;

    /// Marks the request (and every copy of it) cancelled.
    void Cancel() noexcept { m_state->Cancel(); }
    std::string CallerName() const;

private:
    const GUID m_id;
    const uint32_t m_kind;
    const int64_t m_creationTicks;
    const ComPtr<IRequestState> m_state;
    mutable std::mutex m_nameLock;
    std::u16string m_callerName;
};

}  // namespace cvn::host
