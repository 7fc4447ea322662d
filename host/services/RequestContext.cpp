// A request's context and its cancellation state.
#include "host/services/RequestContext.h"

#include <chrono>
#include <cstring>

#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "platform/os/Uuid.h"

namespace cvn::host {

namespace {

// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kTicksTo1970 = 116444736000000000LL;

int64_t NowTicks()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return kTicksTo1970 + std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
}

}  // namespace

HRESULT CRequestState::IsCancelled(BOOL* cancelled) noexcept
{
    if (!cancelled) return E_POINTER;
    *cancelled = m_cancelled.load() ? 1 : 0;
    return S_OK;
}

HRESULT CRequestState::Cancel() noexcept
{
    m_cancelled.store(true);
    return S_OK;
}

CRequestContext::CRequestContext(uint32_t kind, std::string callerName)
    : m_id(os::NewUuid()), m_kind(kind), m_creationTicks(NowTicks()),
      m_state(ComPtr<IRequestState>(CreateComponent<CRequestState>())),
      m_callerName(ToUtf16(callerName))
{
}

namespace {

GUID ReadId(IRequestContext& source)
{
    GUID id{};
    ThrowIfFailed(source.GetRequestId(&id));
    return id;
}

int64_t ReadCreationTicks(IRequestContext& source)
{
    int64_t ticks = 0;
    ThrowIfFailed(source.GetCreationTime(&ticks));
    return ticks;
}

ComPtr<IRequestState> ReadState(IRequestContext& source)
{
    ComPtr<IRequestState> state;
    ThrowIfFailed(source.GetRequestState(state.Put()));
    ThrowIfNull(state);
    return state;
}

std::u16string ReadCallerName(IRequestContext& source)
{
    std::u16string name(64, u'\0');
    uint32_t size = static_cast<uint32_t>(name.size());
    HRESULT hr = source.GetCallerName(name.data(), &size);
    if (hr == kHrInsufficientBuffer && size > name.size()) {
        name.resize(size);
        hr = source.GetCallerName(name.data(), &size);
    }
    ThrowIfFailed(hr);
    name.resize(size > 0 ? size - 1 : 0);
    return name;
}

}  // namespace

CRequestContext::CRequestContext(uint32_t kind, IRequestContext& source)
    : m_id(ReadId(source)), m_kind(kind), m_creationTicks(ReadCreationTicks(source)), m_state(ReadState(source)),
      m_callerName(ReadCallerName(source))
{
}

HRESULT CRequestContext::GetRequestId(GUID* id) noexcept
{
    if (!id) return E_POINTER;
    *id = m_id;
    return S_OK;
}

HRESULT CRequestContext::GetCreationTime(int64_t* ticks) noexcept
{
    if (!ticks) return E_POINTER;
    *ticks = m_creationTicks;
    return S_OK;
}

HRESULT CRequestContext::GetCallerName(char16_t* buffer, uint32_t* size) noexcept
{
    if (!size) return E_POINTER;
    std::lock_guard lock(m_nameLock);
    const uint32_t needed = static_cast<uint32_t>(m_callerName.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        return kHrInsufficientBuffer;
    }
    std::memcpy(buffer, m_callerName.c_str(), needed * sizeof(char16_t));
    *size = needed;
    return S_OK;
}

HRESULT CRequestContext::GetKind(uint32_t* kind) noexcept
{
    if (!kind) return E_POINTER;
    *kind = m_kind;
    return S_OK;
}

HRESULT CRequestContext::SetCallerName(const char16_t* name) noexcept
try {
    std::u16string value = name ? std::u16string(name) : std::u16string();
    std::lock_guard lock(m_nameLock);
    m_callerName = std::move(value);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CRequestContext::GetRequestState(IRequestState** state) noexcept
{
    if (!state) return E_POINTER;
    m_state->AddRef();
    *state = m_state.Get();
    return S_OK;
}

std::string CRequestContext::CallerName() const
{
    std::lock_guard lock(m_nameLock);
    return ToUtf8(m_callerName);
}

}  // namespace cvn::host
