// The one failure the HTTP API answers with: an HTTP status, the system's
// result code, a text for the user and what in the call was wrong.
// Thread safety: a plain exception type.
#pragma once

#include <stdexcept>
#include <string>

#include "corvane/Platform.h"

namespace cvn::api {

inline constexpr HRESULT kHrInvalidData = static_cast<HRESULT>(0x8007000D);
inline constexpr HRESULT kHrNotFound = static_cast<HRESULT>(0x80070490);
inline constexpr HRESULT kHrAccessDenied = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT kHrNotSupported = static_cast<HRESULT>(0x80070032);
inline constexpr HRESULT kHrOutOfMemory = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT kHrUnavailable = static_cast<HRESULT>(0x80040C0A);
inline constexpr HRESULT kHrBusy = static_cast<HRESULT>(0x80040C0B);

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
