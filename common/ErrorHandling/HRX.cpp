// HRX, its raising helpers and the conversion at component method boundaries.
#include "common/ErrorHandling/HRX.h"

#include <exception>
#include <new>
#include <utility>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ErrorRecord.h"
#include "common/Logging/Log.h"
#include "platform/os/StackCapture.h"

namespace cvn {

HRX::HRX(HRESULT code, uint32_t frameSkip) : HRES(code)
{
    if (Failed(code)) {
        Capture(frameSkip);
        IErrorInfo* info = nullptr;
        SkGetErrorInfo(0, &info);
        m_errorInfo = info;
    }
}

HRX::HRX(HRESULT code, IErrorInfo* info, uint32_t frameSkip) : HRES(code)
{
    if (Failed(code)) Capture(frameSkip);
    m_errorInfo = info;
    if (m_errorInfo) m_errorInfo->AddRef();
}

HRX::HRX(const HRX& other)
    : HRES(other.m_code), m_errorInfo(other.m_errorInfo), m_trace{other.m_trace[0], other.m_trace[1]},
      m_frameSkip(other.m_frameSkip)
{
    if (m_errorInfo) m_errorInfo->AddRef();
}

HRX::HRX(HRX&& other) noexcept
    : HRES(other.m_code), m_errorInfo(std::exchange(other.m_errorInfo, nullptr)),
      m_trace{other.m_trace[0], other.m_trace[1]}, m_frameSkip(other.m_frameSkip)
{
}

HRX& HRX::operator=(const HRX& other)
{
    if (this != &other) {
        if (other.m_errorInfo) other.m_errorInfo->AddRef();
        if (m_errorInfo) m_errorInfo->Release();
        m_code = other.m_code;
        m_errorInfo = other.m_errorInfo;
        m_trace[0] = other.m_trace[0];
        m_trace[1] = other.m_trace[1];
        m_frameSkip = other.m_frameSkip;
    }
    return *this;
}

HRX& HRX::operator=(HRX&& other) noexcept
{
    if (this != &other) {
        if (m_errorInfo) m_errorInfo->Release();
        m_code = other.m_code;
        m_errorInfo = std::exchange(other.m_errorInfo, nullptr);
        m_trace[0] = other.m_trace[0];
        m_trace[1] = other.m_trace[1];
        m_frameSkip = other.m_frameSkip;
    }
    return *this;
}

HRX::~HRX()
{
    if (m_errorInfo) m_errorInfo->Release();
}

HRX& HRX::operator=(HRESULT code)
{
    *this = HRX(code, 1);
    ThrowIfFailed();
    return *this;
}

void HRX::ThrowIfFailed() const
{
    if (IsFailure()) throw HRX(*this);
}

void HRX::Capture(uint32_t frameSkip)
{
    m_frameSkip = frameSkip;
    // Skip this function and the constructor that called it. Using the count afterwards
    // also keeps the call from becoming a jump that would drop this frame.
    const uint32_t captured = os::CaptureStackBackTrace(frameSkip + 2, 2, m_trace);
    for (uint32_t i = captured; i < 2; ++i) m_trace[i] = nullptr;
}

void ThrowHr(HRESULT code)
{
    throw HRX(Failed(code) ? code : E_FAIL, 1);
}

namespace {

ErrorRecord RecordOf(const HRX& error)
{
    const void* const* trace = error.Trace();
    const size_t count = trace[0] ? (trace[1] ? 2 : 1) : 0;
    return BuildErrorRecord(error.Code(), error.ErrorInfo(), nullptr, trace, count);
}

}  // namespace

std::string ErrorText(const HRX& error)
{
    return FormatErrorText(RecordOf(error));
}

HRESULT ReturnCodeFromHrx(const HRX& error) noexcept
{
    if (!error.IsFailure()) return error.Code();
    try {
        SetThreadError(RecordOf(error));
    } catch (...) {
        // Out of memory while describing the error: the code still goes back.
    }
    return error.Code();
}

// Writes "<qualifiedName> failed: <error text>" at ERR, then converts the error to a return code.
static HRESULT LogFailure(const char* qualifiedName, const HRX& error) noexcept
{
    CV_LOG(Err, (qualifiedName ? qualifiedName : "") << " failed: " << error);
    return ReturnCodeFromHrx(error);
}

HRESULT ResultFromCaughtException(const char* qualifiedName) noexcept
{
    if (!std::current_exception()) return E_UNEXPECTED;
    try {
        throw;
    } catch (const HRX& error) {
        // A non-failure thrown as an error must not leave the boundary as success.
        if (!error.IsFailure()) return LogFailure(qualifiedName, HRX(E_FAIL, error.ErrorInfo()));
        return LogFailure(qualifiedName, error);
    } catch (const HRES& error) {
        return LogFailure(qualifiedName, HRX(error.IsFailure() ? error.Code() : E_FAIL, nullptr));
    } catch (const std::bad_alloc&) {
        return LogFailure(qualifiedName, HRX(E_OUTOFMEMORY, nullptr));
    } catch (...) {
        return LogFailure(qualifiedName, HRX(E_UNEXPECTED, nullptr));
    }
}

}  // namespace cvn
