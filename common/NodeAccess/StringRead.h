// The library's string read protocol: a first call with 128 characters, then
// growth while the call reports 0x8007007A with a larger size.
// Thread safety: as the node being read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "corvane/Platform.h"

namespace cvn::detail {

inline constexpr uint32_t kFirstReadCharacters = 128;

/// call(buffer, size) fills up to size units and writes the units it needs, NUL included.
/// Returns the failure code, or S_OK with the text (the reported size less its NUL).
template <class Unit, class Call>
HRESULT ReadUnits(Call&& call, std::basic_string<Unit>& out)
{
    std::vector<Unit> buffer(kFirstReadCharacters);
    uint32_t size = static_cast<uint32_t>(buffer.size());
    HRESULT hr = call(buffer.data(), &size);
    while (hr == kHrInsufficientBuffer && size > buffer.size()) {
        buffer.resize(size);
        size = static_cast<uint32_t>(buffer.size());
        hr = call(buffer.data(), &size);
    }
    if (Failed(hr)) return hr;
    // A library that reports more than it was offered is not trusted beyond the buffer.
    if (size > buffer.size()) return kHrInvalidData;
    out.assign(buffer.data(), size == 0 ? 0 : size - 1);
    return S_OK;
}

}  // namespace cvn::detail
