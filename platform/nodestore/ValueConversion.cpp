// Value conversions for typed reads (see ValueConversion.h).
#include "platform/nodestore/ValueConversion.h"

#include <string>
#include <vector>

#include "platform/nodestore/Utf.h"
#include "platform/nodestore/ValueText.h"

namespace cvn::nodestore {

namespace {

constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);

bool IsInteger(uint16_t type) noexcept
{
    return type == QXN_TYPE_INT32 || type == QXN_TYPE_INT32_ALT || type == QXN_TYPE_INT64 || type == QXN_TYPE_BOOL;
}

bool IsArray(uint16_t type) noexcept
{
    return (type & QXN_TYPE_ARRAY) != 0;
}

// The value's items as values of their own: the items of an array or list, or the value itself.
std::vector<ValueBuffer> Items(ValueView value)
{
    std::vector<ValueBuffer> items;
    switch (value.type) {
        case QXN_TYPE_INT32_ARRAY:
            for (uint32_t offset = 0; offset < value.size; offset += 4)
                items.emplace_back().Assign({QXN_TYPE_INT32, value.data + offset, 4});
            break;
        case QXN_TYPE_GUID_ARRAY:
            for (uint32_t offset = 0; offset < value.size; offset += 16)
                items.emplace_back().Assign({QXN_TYPE_GUID, value.data + offset, 16});
            break;
        case QXN_TYPE_STRING_LIST: {
            const auto units = value.Units();
            for (size_t start = 0; start < units.size();) {
                const size_t nul = units.find(u'\0', start);
                items.emplace_back().SetString(units.substr(start, nul - start));
                start = nul + 1;
            }
            break;
        }
        default:
            items.emplace_back().Assign(value);
    }
    return items;
}

// A scalar (or string) to a scalar type.
HRESULT ToScalar(ValueView value, uint16_t type, ValueBuffer& out)
{
    if (value.type == type) {
        out.Assign(value);
        return S_OK;
    }
    if (value.type == QXN_TYPE_STRING) {
        std::string text;
        AppendUtf8(text, value.String());
        std::string why;
        return ParseValueText(type, text, out, why) ? S_OK : kInvalidData;
    }
    if (IsInteger(value.type) && IsInteger(type)) {
        const int64_t v = value.Integer();
        if ((type == QXN_TYPE_INT32 || type == QXN_TYPE_INT32_ALT) && (v < INT32_MIN || v > INT32_MAX))
            return kInvalidData;
        out.SetInteger(type, v);
        return S_OK;
    }
    return kInvalidData;
}

}  // namespace

HRESULT ConvertValue(ValueView value, uint16_t type, ValueBuffer& out)
{
    if (value.type == type) {
        out.Assign(value);
        return S_OK;
    }
    switch (type) {
        case QXN_TYPE_STRING: {
            std::u16string text;
            AppendValueText(text, value);
            out.SetString(text);
            return S_OK;
        }
        case QXN_TYPE_INT32:
        case QXN_TYPE_INT32_ALT:
        case QXN_TYPE_INT64:
        case QXN_TYPE_BOOL:
        case QXN_TYPE_GUID:
            return IsArray(value.type) ? kInvalidData : ToScalar(value, type, out);
        case QXN_TYPE_INT32_ARRAY:
        case QXN_TYPE_GUID_ARRAY: {
            if (IsArray(value.type) && value.type != QXN_TYPE_STRING_LIST) return kInvalidData;
            const uint16_t base = type == QXN_TYPE_INT32_ARRAY ? QXN_TYPE_INT32 : QXN_TYPE_GUID;
            const uint32_t itemSize = base == QXN_TYPE_GUID ? 16 : 4;
            const auto items = Items(value);
            std::vector<uint8_t> bytes(items.size() * itemSize);
            ValueBuffer item;
            for (size_t i = 0; i < items.size(); ++i) {
                if (const HRESULT hr = ToScalar(items[i].View(), base, item); hr < 0) return hr;
                std::memcpy(bytes.data() + i * itemSize, item.View().data, itemSize);
            }
            out.Assign({type, bytes.data(), static_cast<uint32_t>(bytes.size())});
            return S_OK;
        }
        case QXN_TYPE_STRING_LIST: {
            std::u16string units;
            for (const auto& item : Items(value)) {
                AppendValueText(units, item.View());
                units.push_back(0);
            }
            out.Assign({type, reinterpret_cast<const uint8_t*>(units.data()), static_cast<uint32_t>(units.size() * 2)});
            return S_OK;
        }
        default:
            return kInvalidData;
    }
}

}  // namespace cvn::nodestore
