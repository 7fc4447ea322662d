// HRX: the exception that carries a failing HRESULT through the module, the
// helpers that raise it (CV_FAIL_LOGGED logs the failure first), and the one function that turns a caught exception
// into a component method's return code.
// Thread safety: HRX values belong to the thread that holds them; the helpers
// only touch the calling thread's error object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/Helpers/MethodName.h"
#include "common/Logging/Log.h"
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

// The raising grid: every check is one inline comparison; the throw is out of line.
// A code that is not a failure becomes E_FAIL. The description variants give the
// error a plain description (e.g. a parser's message) instead of the thread's error object.

/// Throws HRX with the code and the thread's error object.
[[noreturn, gnu::noinline, gnu::cold]] void ThrowHr(HRESULT code);
/// Throws HRX with the code and a plain description.
[[noreturn, gnu::noinline, gnu::cold]] void ThrowHrWithDescription(HRESULT code, std::string_view description);

inline void ThrowIfFailed(HRESULT code)
{
    if (code < 0) [[unlikely]] ThrowHr(code);
}
inline void ThrowIfFailed(HRESULT code, std::string_view description)
{
    if (code < 0) [[unlikely]] ThrowHrWithDescription(code, description);
}
inline void ThrowIf(bool condition, HRESULT code)
{
    if (condition) [[unlikely]] ThrowHr(code);
}
inline void ThrowIf(bool condition, HRESULT code, std::string_view description)
{
    if (condition) [[unlikely]] ThrowHrWithDescription(code, description);
}
/// The pointer, or HRX (E_POINTER unless told) when it is null.
template <class T>
inline T* ThrowIfNull(T* pointer, HRESULT code = E_POINTER)
{
    if (!pointer) [[unlikely]] ThrowHr(code);
    return pointer;
}
template <class T>
inline T* ThrowIfNull(T* pointer, HRESULT code, std::string_view description)
{
    if (!pointer) [[unlikely]] ThrowHrWithDescription(code, description);
    return pointer;
}
/// The same for a smart pointer or node handle (anything that tests as a bool).
template <class P>
    requires(!std::is_pointer_v<P>)
inline const P& ThrowIfNull(const P& pointer, HRESULT code = E_POINTER)
{
    if (!pointer) [[unlikely]] ThrowHr(code);
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

/// Closes a component method written as `noexcept try { CV_TRACE_METHOD(Dbg); ...; return S_OK; }
/// CV_CATCH_RETURN()`: the failure line names the method as its trace scope does. A lambda or a
/// helper logging under another name passes it: CV_CATCH_RETURN("cvn::CreateInstanceOf").
#define CV_CATCH_RETURN(...)                                                                  \
    catch (...)                                                                               \
    {                                                                                         \
        CV_DECLARE_METHOD_NAME(cvMethodName_);                                                \
        return ::cvn::ResultFromCaughtException(                                              \
            CV_CATCH_NAME(cvMethodName_.text __VA_OPT__(, ) __VA_ARGS__));                    \
    }
// (derived) gives derived, (derived, given) gives given.
#define CV_CATCH_NAME_PICK(derived, given, ...) given
#define CV_CATCH_NAME(...) CV_CATCH_NAME_PICK(__VA_ARGS__, __VA_ARGS__)

/// Raising a failure the way filter processing reports it: one ERR line "<function> failed: <message>",
/// then HRX with that message as its description (so the requester sees what was wrong, not only the code).
/// CV_FAIL_LOGGED("FilterHelper::Replace", kHrNotFound, "Node for replacement not found: " << path); never returns.
#define CV_FAIL_LOGGED(function, code, message)                                                  \
    do {                                                                                         \
        ::cvn::log::MessageBuilder cvFailText_;                                                  \
        try {                                                                                    \
            cvFailText_ << message;                                                              \
        } catch (...) {                                                                          \
            cvFailText_.MarkException();                                                         \
        }                                                                                        \
        CV_LOG(Err, function << " failed: " << cvFailText_.Text());                              \
        ::cvn::ThrowHrWithDescription(code, cvFailText_.Text());                                 \
    } while (0)
