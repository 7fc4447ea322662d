// Attribute values: a view of a typed value in exactly the bytes the C API
// passes (strings with their NUL, string lists as NUL-terminated items), an
// owning buffer for values made by parsing and conversion, and the type and
// size rules of QxnSetAttribute.
// Thread safety: views and buffers are used by one thread, or only read.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "corvane/Nodestore.h"

namespace cvn::nodestore {

/// A typed value that lives elsewhere.
struct ValueView {
    uint16_t type = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;

    int64_t Integer() const noexcept;  ///< types 3, 4, 6 and 7
    GUID Guid() const noexcept;        ///< type 13
    std::u16string_view Units() const noexcept { return {reinterpret_cast<const char16_t*>(data), size / 2}; }
    std::u16string_view String() const noexcept  ///< type 2, without its NUL
    {
        return size ? Units().substr(0, size / 2 - 1) : std::u16string_view();
    }
};

/// An owned value; keeps its capacity when reused.
class ValueBuffer {
public:
    uint16_t Type() const noexcept { return m_type; }
    ValueView View() const noexcept { return {m_type, m_bytes.data(), static_cast<uint32_t>(m_bytes.size())}; }

    /// Makes the value size bytes of type (contents undefined) and returns them.
    uint8_t* Reset(uint16_t type, size_t size);
    void Assign(ValueView value);
    void SetInteger(uint16_t type, int64_t value);  ///< types 3, 4, 6 and 7
    void SetGuid(const GUID& value);
    void SetString(std::u16string_view text);

private:
    uint16_t m_type = 0;
    std::vector<uint8_t> m_bytes;
};

/// True for the type codes that QxnSetAttribute accepts.
bool IsKnownType(uint32_t type) noexcept;

/// Checks a value passed to QxnSetAttribute: S_OK with view set to the value to store
/// (a string cut at its first NUL, a boolean as 0 or 1), E_POINTER or E_INVALIDARG.
HRESULT CheckApiValue(uint16_t type, const void* bytes, uint32_t size, ValueView& view) noexcept;

}  // namespace cvn::nodestore
