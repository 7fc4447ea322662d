// The error object behind SkCreateErrorInfo: a GUID and a description, readable
// through IErrorInfo and writable through ICreateErrorInfo.
// Thread safety: reference counting is atomic; the fields are guarded by a mutex
// so an object handed to another thread stays consistent.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "corvane/Sprocket.h"

namespace cvn::sprocket {

class ErrorObject final : public IErrorInfo, public ICreateErrorInfo {
public:
    /// A new object with one reference, handed out as ICreateErrorInfo; null when out of memory.
    static ICreateErrorInfo* Create() noexcept;

    ULONG AddRef() noexcept override;
    ULONG Release() noexcept override;
    HRESULT QueryInterface(const GUID* iid, void** out) noexcept override;

    HRESULT GetGUID(GUID* guid) noexcept override;
    HRESULT GetDescription(char16_t* buffer, uint32_t* size) noexcept override;
    HRESULT SetGUID(const GUID* guid) noexcept override;
    HRESULT SetDescription(const char16_t* description) noexcept override;

private:
    ErrorObject() = default;
    ~ErrorObject() = default;

    std::atomic<ULONG> m_refs{1};
    std::mutex m_lock;
    GUID m_guid{};
    std::u16string m_description;
};

}  // namespace cvn::sprocket
