// The one failure the HTTP API answers with: an HTTP status, the system's
// result code, a text for the user and what in the call was wrong.
// Thread safety: a plain exception type.
#pragma once

#include <stdexcept>
#include <string>

#include "common/ErrorHandling/ResultCodes.h"
#include "corvane/Platform.h"

namespace cvn::api {

/// A method the path does not take (HRESULT of ERROR_NOT_SUPPORTED); the other codes are the system's own.
inline constexpr HRESULT kHrNotSupported = HResultFromWin32(50);  // ERROR_NOT_SUPPORTED: 0x80070032

class ApiError : public std::runtime_error {
public:
    ApiError(int status, HRESULT code, std::string message, std::string what = {})
        : std::runtime_error(std::move(message)), m_status(status), m_code(code), m_what(std::move(what))
    {
    }
    int Status() const noexcept { return m_status; }
    HRESULT Code() const noexcept { return m_code; }
    /// The part of the call that was wrong ("body", "token", "partial", an attribute's key); may be empty.
    const std::string& What() const noexcept { return m_what; }

private:
    int m_status;
    HRESULT m_code;
    std::string m_what;
};

}  // namespace cvn::api
