// The attribute functions of the C API: typed reads with conversion, writes, deletion, names.
#include "corvane/Nodestore.h"
#include "platform/nodestore/ApiGuard.h"
#include "platform/nodestore/Node.h"
#include "platform/nodestore/Utf.h"
#include "platform/nodestore/ValueConversion.h"

using namespace cvn;
using namespace cvn::nodestore;

namespace {

// Copies a value out under the byte-size protocol; a null size only asks whether the value exists.
HRESULT CopyValueOut(ValueView value, void* buffer, uint32_t* size) noexcept
{
    if (!size) return buffer ? E_INVALIDARG : S_OK;
    if (value.size && (!buffer || *size < value.size)) {
        *size = value.size;
        return kHrInsufficientBuffer;
    }
    if (value.size) std::memcpy(buffer, value.data, value.size);
    *size = value.size;
    return S_OK;
}

}  // namespace

extern "C" {

CV_EXPORT HRESULT QxnGetAttribute(IQxNode* node, const char16_t* name, const uint16_t* requestedType, void* buffer,
                                  uint32_t* size, uint32_t* storedType)
{
    if (storedType) *storedType = 0;
    if (!node || !name) return E_POINTER;
    const ValueView stored = node->data.Find(View16(name));
    if (!stored.type) return kHrNotFound;
    if (storedType) *storedType = stored.type;
    if (!requestedType || *requestedType == stored.type) return CopyValueOut(stored, buffer, size);
    if (!IsKnownType(*requestedType)) return E_INVALIDARG;
    return Guarded([&] {
        ValueBuffer converted;
        const HRESULT hr = ConvertValue(stored, *requestedType, converted);
        return hr < 0 ? hr : CopyValueOut(converted.View(), buffer, size);
    });
}

CV_EXPORT HRESULT QxnSetAttribute(IQxNode* node, const char16_t* name, uint16_t type, const void* value, uint32_t size)
{
    if (!node || !name) return E_POINTER;
    const std::u16string_view key = View16(name);
    if (key.empty()) return E_INVALIDARG;
    ValueView checked;
    if (const HRESULT hr = CheckApiValue(type, value, size, checked); hr < 0) return hr;
    return Guarded([&] {
        node->data.Set(key, checked);
        return S_OK;
    });
}

CV_EXPORT HRESULT QxnDeleteAttribute(IQxNode* node, const char16_t* name)
{
    if (!node || !name) return E_POINTER;
    return Guarded([&] { return node->data.Erase(View16(name)) ? S_OK : kHrNotFound; });
}

CV_EXPORT HRESULT QxnGetAttributeNames(IQxNode* node, char16_t* buffer, uint32_t* size)
{
    if (!node || !size) return E_POINTER;
    return Guarded([&] {
        std::u16string names;
        for (const AttributeRef attribute : node->data) {
            names += attribute.name;
            names += u'\0';
        }
        return CopyOut<char16_t>(names, false, buffer, size);
    });
}

}  // extern "C"
