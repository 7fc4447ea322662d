// The boundary of the C API: result codes, and the guard that turns any
// exception into an HRESULT so none crosses into the caller.
// Thread safety: stateless.
#pragma once

#include <new>
#include <string_view>

#include "corvane/Platform.h"

namespace cvn::nodestore {

/// Runs body (returning an HRESULT); bad_alloc becomes E_OUTOFMEMORY, anything else E_UNEXPECTED.
template <class Body>
HRESULT Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

/// Writes text and its NUL to a caller's buffer whose size counts units (characters
/// for UTF-16): S_OK, or 0x8007007A with the needed size when it does not fit.
template <class Char>
HRESULT CopyOut(std::basic_string_view<Char> text, bool nulTerminated, Char* buffer, uint32_t* size) noexcept
{
    if (!size) return E_POINTER;
    const auto needed = static_cast<uint32_t>(text.size() + (nulTerminated ? 1 : 0));
    if (needed && (!buffer || *size < needed)) {
        *size = needed;
        return kHrInsufficientBuffer;
    }
    if (!text.empty()) std::char_traits<Char>::copy(buffer, text.data(), text.size());
    if (nulTerminated) buffer[text.size()] = 0;
    *size = needed;
    return S_OK;
}

}  // namespace cvn::nodestore
