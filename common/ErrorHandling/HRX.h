// HRX: the exception that carries a failing HRESULT through the module, the
// helpers that raise it, and the one function that turns a caught exception
// into a component method's return code.
// Thread safety: HRX values belong to the thread that holds them; the helpers
// only touch the calling thread's error object.
#pragma once

#include <cstdint>
#include <string>

#include "corvane/Sprocket.h"

namespace cvn {

/// Base type of HRX; catch it where only the code matters.
class HRES {
public:
    explicit HRES(HRESULT code = S_OK) noexcept : m_code(code) {}
    HRESULT Code() const noexcept { return m_code; }
    bool IsFailure() const noexcept { return m_code < 0; }

protected:
    HRESULT m_code;
};

class HRX : public HRES {
public:
    HRX() noexcept = default;
    /// Stores the code; a failure captures the caller's trace and takes the thread's error object.
    /// Not inlined, so that the frames skipped by the trace capture are always there.
    [[gnu::noinline]] explicit HRX(HRESULT code, uint32_t frameSkip = 0);
    /// A failure that carries an explicit error object (one reference is added).
    [[gnu::noinline]] HRX(HRESULT code, IErrorInfo* info, uint32_t frameSkip = 0);
    HRX(const HRX& other);
    HRX(HRX&& other) noexcept;
    HRX& operator=(const HRX& other);
    HRX& operator=(HRX&& other) noexcept;
    ~HRX();

    /// Checked assignment: stores the code as the constructor does and throws a copy on failure.
    [[gnu::noinline]] HRX& operator=(HRESULT code);
    /// Throws *this when it holds a failure.
    void ThrowIfFailed() const;

    IErrorInfo* ErrorInfo() const noexcept { return m_errorInfo; }
    const void* const* Trace() const noexcept { return m_trace; }
    uint32_t FrameSkip() const noexcept { return m_frameSkip; }

private:
    [[gnu::noinline]] void Capture(uint32_t frameSkip);

    IErrorInfo* m_errorInfo = nullptr;
    const void* m_trace[2] = {nullptr, nullptr};
    uint32_t m_frameSkip = 0;
};

/// Throws HRX with the code; a code that is not a failure becomes E_FAIL.
[[noreturn, gnu::noinline]] void ThrowHr(HRESULT code);
/// Throws HRX (with the thread's error object) when the code is a failure.
inline void CheckHr(HRESULT code)
{
    if (code < 0) ThrowHr(code);
}
template <class T>
inline T* CheckNotNull(T* pointer, HRESULT code)
{
    if (!pointer) ThrowHr(code);
    return pointer;
}

/// The error text of an HRX (code, description, trace), as written in "failed:" lines.
std::string ErrorText(const HRX& error);

/// Sets the thread's error object from the HRX and returns its code.
HRESULT ReturnCodeFromHrx(const HRX& error) noexcept;

/// For catch (...) at a component method boundary: logs "<name> failed: <error text>" at ERR,
/// sets the thread's error object and returns the code (E_OUTOFMEMORY for bad_alloc,
/// E_UNEXPECTED for anything else that is not an HRX).
HRESULT ResultFromCaughtException(const char* qualifiedName) noexcept;

}  // namespace cvn

/// Closes a component method written as `noexcept try { ...; return S_OK; }`.
#define CV_CATCH_RETURN(qualifiedName) \
    catch (...) { return ::cvn::ResultFromCaughtException(qualifiedName); }
