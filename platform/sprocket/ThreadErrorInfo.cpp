// The calling thread's error object. It lives in this shared library so that
// the host and the module see the same one.
#include "ErrorObject.h"

namespace {

// Holds one reference; the thread's exit releases it.
struct ThreadErrorHolder {
    corvane::IErrorInfo* info = nullptr;
    ~ThreadErrorHolder()
    {
        if (info) info->Release();
    }
};

thread_local ThreadErrorHolder t_errorInfo;

}  // namespace

extern "C" {

CV_EXPORT HRESULT SkCreateErrorInfo(corvane::ICreateErrorInfo** out)
{
    if (!out) return corvane::E_POINTER;
    *out = corvane::sprocket::ErrorObject::Create();
    return *out ? corvane::S_OK : corvane::E_OUTOFMEMORY;
}

CV_EXPORT HRESULT SkSetErrorInfo(uint32_t reserved, corvane::IErrorInfo* info)
{
    if (reserved != 0) return corvane::E_INVALIDARG;
    // Add the new reference first: the old object may be the same one.
    if (info) info->AddRef();
    corvane::IErrorInfo* old = t_errorInfo.info;
    t_errorInfo.info = info;
    if (old) old->Release();
    return corvane::S_OK;
}

CV_EXPORT HRESULT SkGetErrorInfo(uint32_t reserved, corvane::IErrorInfo** out)
{
    if (!out) return corvane::E_POINTER;
    *out = nullptr;
    if (reserved != 0) return corvane::E_INVALIDARG;
    *out = t_errorInfo.info;
    t_errorInfo.info = nullptr;
    return *out ? corvane::S_OK : corvane::S_FALSE;
}
}
