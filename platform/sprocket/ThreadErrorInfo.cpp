// The calling thread's error object. It lives in this shared library so that
// the host and the module see the same one.
#include "platform/sprocket/ErrorObject.h"

namespace {

// Holds one reference; the thread's exit releases it.
struct ThreadErrorHolder {
    cvn::IErrorInfo* info = nullptr;
    ~ThreadErrorHolder()
    {
        if (info) info->Release();
    }
};

thread_local ThreadErrorHolder t_errorInfo;

}  // namespace

extern "C" {

CV_EXPORT HRESULT SkCreateErrorInfo(cvn::ICreateErrorInfo** out)
{
    if (!out) return cvn::E_POINTER;
    *out = cvn::sprocket::ErrorObject::Create();
    return *out ? cvn::S_OK : cvn::E_OUTOFMEMORY;
}

CV_EXPORT HRESULT SkSetErrorInfo(uint32_t reserved, cvn::IErrorInfo* info)
{
    if (reserved != 0) return cvn::E_INVALIDARG;
    // Add the new reference first: the old object may be the same one.
    if (info) info->AddRef();
    cvn::IErrorInfo* old = t_errorInfo.info;
    t_errorInfo.info = info;
    if (old) old->Release();
    return cvn::S_OK;
}

CV_EXPORT HRESULT SkGetErrorInfo(uint32_t reserved, cvn::IErrorInfo** out)
{
    if (!out) return cvn::E_POINTER;
    *out = nullptr;
    if (reserved != 0) return cvn::E_INVALIDARG;
    *out = t_errorInfo.info;
    t_errorInfo.info = nullptr;
    return *out ? cvn::S_OK : cvn::S_FALSE;
}
}
