// The component framework library (libsprocket.so): per-thread error objects
// shared by the host and the module, and named component instances.
// Thread safety: error objects are per thread; every export may be called from
// any thread at once.
#pragma once

#include "corvane/Components.h"

namespace cvn {

/// A readable error object, as set on a thread by a failing component method.
struct IErrorInfo : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x1cf2b120, 0x547d, 0x101b, 0x8e65, 0x08002b2bd119);
    virtual HRESULT GetGUID(GUID* guid) noexcept = 0;
    /// size in characters, terminating NUL included; 0x8007007A with the needed size when too small.
    virtual HRESULT GetDescription(char16_t* buffer, uint32_t* size) noexcept = 0;

protected:
    ~IErrorInfo() = default;
};

/// The writable side of an error object made by SkCreateErrorInfo.
struct ICreateErrorInfo : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x22f03340, 0x547d, 0x101b, 0x8e65, 0x08002b2bd119);
    virtual HRESULT SetGUID(const GUID* guid) noexcept = 0;
    virtual HRESULT SetDescription(const char16_t* description) noexcept = 0;

protected:
    ~ICreateErrorInfo() = default;
};

}  // namespace cvn

extern "C" {
/// A new, empty error object (one reference).
CV_EXPORT HRESULT SkCreateErrorInfo(cvn::ICreateErrorInfo** out);
/// Replaces the calling thread's error object (null clears it). reserved must be 0.
CV_EXPORT HRESULT SkSetErrorInfo(uint32_t reserved, cvn::IErrorInfo* info);
/// Hands over the calling thread's error object and clears it; S_FALSE with null when none.
CV_EXPORT HRESULT SkGetErrorInfo(uint32_t reserved, cvn::IErrorInfo** out);
}
