// Error objects made by SkCreateErrorInfo.
#include "platform/sprocket/ErrorObject.h"

#include <new>

namespace cvn::sprocket {

ICreateErrorInfo* ErrorObject::Create() noexcept
{
    auto* object = new (std::nothrow) ErrorObject();
    return object ? static_cast<ICreateErrorInfo*>(object) : nullptr;
}

ULONG ErrorObject::AddRef() noexcept
{
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ErrorObject::Release() noexcept
{
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

HRESULT ErrorObject::QueryInterface(const GUID* iid, void** out) noexcept
{
    if (!iid || !out) return E_INVALIDARG;
    if (*iid == IErrorInfo::kIid || *iid == IComponentBase::kIid)
        *out = static_cast<IErrorInfo*>(this);
    else if (*iid == ICreateErrorInfo::kIid)
        *out = static_cast<ICreateErrorInfo*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT ErrorObject::GetGUID(GUID* guid) noexcept
{
    if (!guid) return E_POINTER;
    std::lock_guard lock(m_lock);
    *guid = m_guid;
    return S_OK;
}

HRESULT ErrorObject::GetDescription(char16_t* buffer, uint32_t* size) noexcept
{
    if (!size) return E_POINTER;
    std::lock_guard lock(m_lock);
    const uint64_t needed = uint64_t{m_description.size()} + 1;
    if (needed > UINT32_MAX) return kHrInvalidData;
    if (!buffer || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        return kHrInsufficientBuffer;
    }
    m_description.copy(buffer, m_description.size());
    buffer[m_description.size()] = u'\0';
    *size = static_cast<uint32_t>(needed);
    return S_OK;
}

HRESULT ErrorObject::SetGUID(const GUID* guid) noexcept
{
    if (!guid) return E_POINTER;
    std::lock_guard lock(m_lock);
    m_guid = *guid;
    return S_OK;
}

HRESULT ErrorObject::SetDescription(const char16_t* description) noexcept
try {
    std::u16string text = description ? std::u16string(description) : std::u16string();
    std::lock_guard lock(m_lock);
    m_description.swap(text);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

}  // namespace cvn::sprocket
