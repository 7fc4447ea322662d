// Attribute values and the size rules of QxnSetAttribute (see Value.h).
#include "platform/nodestore/Value.h"

namespace cvn::nodestore {

namespace {
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kPointer = static_cast<HRESULT>(0x80004003);
constexpr uint8_t kBoolBytes[2] = {0, 1};
}  // namespace

int64_t ValueView::Integer() const noexcept
{
    switch (type) {
        case QXN_TYPE_INT64: {
            int64_t v;
            std::memcpy(&v, data, 8);
            return v;
        }
        case QXN_TYPE_BOOL:
            return data[0] ? 1 : 0;
        default: {
            int32_t v;
            std::memcpy(&v, data, 4);
            return v;
        }
    }
}

GUID ValueView::Guid() const noexcept
{
    GUID g;
    std::memcpy(&g, data, sizeof g);
    return g;
}

uint8_t* ValueBuffer::Reset(uint16_t type, size_t size)
{
    m_bytes.resize(size);
    m_type = type;
    return m_bytes.data();
}

void ValueBuffer::Assign(ValueView value)
{
    uint8_t* data = Reset(value.type, value.size);
    if (value.size) std::memcpy(data, value.data, value.size);
}

void ValueBuffer::SetInteger(uint16_t type, int64_t value)
{
    if (type == QXN_TYPE_INT64) {
        std::memcpy(Reset(type, 8), &value, 8);
    } else if (type == QXN_TYPE_BOOL) {
        *Reset(type, 1) = value ? 1 : 0;
    } else {
        const auto v = static_cast<int32_t>(value);
        std::memcpy(Reset(type, 4), &v, 4);
    }
}

void ValueBuffer::SetGuid(const GUID& value)
{
    std::memcpy(Reset(QXN_TYPE_GUID, sizeof value), &value, sizeof value);
}

void ValueBuffer::SetString(std::u16string_view text)
{
    uint8_t* data = Reset(QXN_TYPE_STRING, (text.size() + 1) * 2);
    std::memcpy(data, text.data(), text.size() * 2);
    data[text.size() * 2] = data[text.size() * 2 + 1] = 0;
}

bool IsKnownType(uint32_t type) noexcept
{
    switch (type) {
        case QXN_TYPE_STRING:
        case QXN_TYPE_INT32:
        case QXN_TYPE_INT32_ALT:
        case QXN_TYPE_INT64:
        case QXN_TYPE_BOOL:
        case QXN_TYPE_GUID:
        case QXN_TYPE_STRING_LIST:
        case QXN_TYPE_INT32_ARRAY:
        case QXN_TYPE_GUID_ARRAY:
            return true;
        default:
            return false;
    }
}

HRESULT CheckApiValue(uint16_t type, const void* bytes, uint32_t size, ValueView& view) noexcept
{
    if (!bytes && size) return kPointer;
    const auto* data = static_cast<const uint8_t*>(bytes);
    view = {type, data, size};
    switch (type) {
        case QXN_TYPE_STRING: {
            if (size < 2 || size % 2) return kInvalidArg;
            const size_t nul = view.Units().find(u'\0');
            if (nul == std::u16string_view::npos) return kInvalidArg;  // the size counts the NUL
            view.size = static_cast<uint32_t>((nul + 1) * 2);
            return S_OK;
        }
        case QXN_TYPE_INT32:
        case QXN_TYPE_INT32_ALT:
            return size == 4 ? S_OK : kInvalidArg;
        case QXN_TYPE_INT64:
            return size == 8 ? S_OK : kInvalidArg;
        case QXN_TYPE_BOOL:
            if (size != 1) return kInvalidArg;
            view.data = &kBoolBytes[data[0] ? 1 : 0];
            return S_OK;
        case QXN_TYPE_GUID:
            return size == 16 ? S_OK : kInvalidArg;
        case QXN_TYPE_INT32_ARRAY:
            return size % 4 ? kInvalidArg : S_OK;
        case QXN_TYPE_GUID_ARRAY:
            return size % 16 ? kInvalidArg : S_OK;
        case QXN_TYPE_STRING_LIST:
            if (size % 2) return kInvalidArg;
            return size == 0 || view.Units().back() == 0 ? S_OK : kInvalidArg;  // every item ends with a NUL
        default:
            return kInvalidArg;
    }
}

}  // namespace cvn::nodestore
