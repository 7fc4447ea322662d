// QxNodePtr: typed attribute reads and writes.
#include <cstring>

#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "common/NodeAccess/StringRead.h"

namespace cvn {

namespace {

// A value that does not convert names the attribute, so the failure line says which one.
[[noreturn]] void ThrowUnreadable(std::string_view name, uint16_t type)
{
    const char* typeName = type == QXN_TYPE_STRING        ? "a string"
                           : type == QXN_TYPE_INT32       ? "a 32-bit integer"
                           : type == QXN_TYPE_INT64       ? "a 64-bit integer"
                           : type == QXN_TYPE_BOOL        ? "a boolean"
                           : type == QXN_TYPE_GUID        ? "a GUID"
                           : type == QXN_TYPE_STRING_LIST ? "a string list"
                           : type == QXN_TYPE_GUID_ARRAY  ? "a GUID array"
                           : type == QXN_TYPE_INT32_ARRAY ? "a 32-bit integer array"
                                                          : "the requested type";
    ThrowHrWithDescription(kHrInvalidData, "attribute '" + std::string(name) + "' cannot be read as " + typeName);
}

void CheckRead(HRESULT hr, std::string_view name, uint16_t type)
{
    if (hr == kHrInvalidData) ThrowUnreadable(name, type);
    ThrowIfFailed(hr);
}

// Reads a fixed-size value of the requested type; false when the attribute is absent.
bool ReadFixed(IQxNode* node, std::string_view name, uint16_t type, void* value, uint32_t size)
{
    uint32_t read = size;
    const HRESULT hr = QxnGetAttribute(ThrowIfNull(node), ToUtf16(name).c_str(), &type, value, &read, nullptr);
    if (hr == kHrNotFound) return false;
    CheckRead(hr, name, type);
    if (read != size) ThrowUnreadable(name, type);
    return true;
}

// Reads a variable-size value in units of Unit bytes through the growth protocol.
template <class Unit>
bool ReadVariable(IQxNode* node, std::string_view name, uint16_t type, std::basic_string<Unit>& out)
{
    const std::u16string name16 = ToUtf16(name);
    ThrowIfNull(node);
    const HRESULT hr = detail::ReadUnits<Unit>(
        [&](Unit* buffer, uint32_t* units) {
            uint32_t bytes = *units * sizeof(Unit);
            const HRESULT result = QxnGetAttribute(node, name16.c_str(), &type, buffer, &bytes, nullptr);
            *units = static_cast<uint32_t>((bytes + sizeof(Unit) - 1) / sizeof(Unit));
            return result;
        },
        out);
    if (hr == kHrNotFound) return false;
    CheckRead(hr, name, type);
    return true;
}

// Reads an array of fixed-size items; the buffer protocol counts bytes, so a
// NUL-less binary buffer is read as bytes and then checked for a whole number of items.
template <class Item>
bool ReadArray(IQxNode* node, std::string_view name, uint16_t type, std::vector<Item>& out)
{
    const std::u16string name16 = ToUtf16(name);
    ThrowIfNull(node);
    std::vector<unsigned char> buffer(detail::kFirstReadCharacters * 2);
    uint32_t size = static_cast<uint32_t>(buffer.size());
    HRESULT hr = QxnGetAttribute(node, name16.c_str(), &type, buffer.data(), &size, nullptr);
    while (hr == kHrInsufficientBuffer && size > buffer.size()) {
        buffer.resize(size);
        size = static_cast<uint32_t>(buffer.size());
        hr = QxnGetAttribute(node, name16.c_str(), &type, buffer.data(), &size, nullptr);
    }
    if (hr == kHrNotFound) return false;
    CheckRead(hr, name, type);
    if (size > buffer.size() || size % sizeof(Item) != 0) ThrowUnreadable(name, type);
    out.resize(size / sizeof(Item));
    if (size) std::memcpy(out.data(), buffer.data(), size);
    return true;
}

void Write(IQxNode* node, std::string_view name, uint16_t type, const void* value, uint32_t size)
{
    ThrowIfFailed(QxnSetAttribute(ThrowIfNull(node), ToUtf16(name).c_str(), type, value, size));
}

template <class Item>
uint32_t ByteSize(const std::vector<Item>& items)
{
    const uint64_t bytes = uint64_t{items.size()} * sizeof(Item);
    ThrowIf(bytes > UINT32_MAX, E_INVALIDARG);
    return static_cast<uint32_t>(bytes);
}

}  // namespace

bool QxNodePtr::HasAttribute(std::string_view name, uint32_t* storedType) const
{
    uint32_t size = 0;
    uint32_t stored = 0;
    const HRESULT hr = QxnGetAttribute(ThrowIfNull(m_node), ToUtf16(name).c_str(), nullptr, nullptr, &size,
                                       &stored);
    if (hr == kHrNotFound) return false;
    if (hr != kHrInsufficientBuffer) ThrowIfFailed(hr);
    if (storedType) *storedType = stored;
    return true;
}

bool QxNodePtr::GetAttribute(std::string_view name, std::string& out) const
{
    std::u16string text;
    if (!ReadVariable<char16_t>(m_node, name, QXN_TYPE_STRING, text)) return false;
    out = ToUtf8(text);
    return true;
}

bool QxNodePtr::GetAttribute(std::string_view name, int32_t& out) const
{
    return ReadFixed(m_node, name, QXN_TYPE_INT32, &out, sizeof out);
}

bool QxNodePtr::GetAttribute(std::string_view name, uint32_t& out) const
{
    return ReadFixed(m_node, name, QXN_TYPE_INT32, &out, sizeof out);
}

bool QxNodePtr::GetAttribute(std::string_view name, int64_t& out) const
{
    return ReadFixed(m_node, name, QXN_TYPE_INT64, &out, sizeof out);
}

bool QxNodePtr::GetAttribute(std::string_view name, uint64_t& out) const
{
    return ReadFixed(m_node, name, QXN_TYPE_INT64, &out, sizeof out);
}

bool QxNodePtr::GetAttribute(std::string_view name, bool& out) const
{
    unsigned char value = 0;
    if (!ReadFixed(m_node, name, QXN_TYPE_BOOL, &value, sizeof value)) return false;
    out = value != 0;
    return true;
}

bool QxNodePtr::GetAttribute(std::string_view name, GUID& out) const
{
    return ReadFixed(m_node, name, QXN_TYPE_GUID, &out, sizeof out);
}

bool QxNodePtr::GetAttribute(std::string_view name, std::vector<std::string>& out) const
{
    std::vector<char16_t> units;
    if (!ReadArray(m_node, name, QXN_TYPE_STRING_LIST, units)) return false;
    // Each string is followed by one NUL; a last string without its NUL is still taken.
    std::vector<std::string> list;
    size_t start = 0;
    for (size_t i = 0; i <= units.size(); ++i) {
        if (i == units.size() || units[i] == u'\0') {
            if (i > start || i < units.size()) list.push_back(ToUtf8(std::u16string_view(units.data() + start, i - start)));
            start = i + 1;
        }
    }
    out = std::move(list);
    return true;
}

bool QxNodePtr::GetAttribute(std::string_view name, std::vector<GUID>& out) const
{
    return ReadArray(m_node, name, QXN_TYPE_GUID_ARRAY, out);
}

bool QxNodePtr::GetAttribute(std::string_view name, std::vector<int32_t>& out) const
{
    return ReadArray(m_node, name, QXN_TYPE_INT32_ARRAY, out);
}

void QxNodePtr::SetAttribute(std::string_view name, std::string_view value) const
{
    const std::u16string text = ToUtf16(value);
    const uint64_t bytes = (uint64_t{text.size()} + 1) * 2;
    ThrowIf(bytes > UINT32_MAX, E_INVALIDARG);
    Write(m_node, name, QXN_TYPE_STRING, text.c_str(), static_cast<uint32_t>(bytes));
}

void QxNodePtr::SetAttribute(std::string_view name, int32_t value) const
{
    Write(m_node, name, QXN_TYPE_INT32, &value, sizeof value);
}

void QxNodePtr::SetAttribute(std::string_view name, uint32_t value) const
{
    Write(m_node, name, QXN_TYPE_INT32, &value, sizeof value);
}

void QxNodePtr::SetAttribute(std::string_view name, int64_t value) const
{
    Write(m_node, name, QXN_TYPE_INT64, &value, sizeof value);
}

void QxNodePtr::SetAttribute(std::string_view name, uint64_t value) const
{
    Write(m_node, name, QXN_TYPE_INT64, &value, sizeof value);
}

void QxNodePtr::SetAttribute(std::string_view name, bool value) const
{
    const unsigned char byte = value ? 1 : 0;
    Write(m_node, name, QXN_TYPE_BOOL, &byte, sizeof byte);
}

void QxNodePtr::SetAttribute(std::string_view name, const GUID& value) const
{
    Write(m_node, name, QXN_TYPE_GUID, &value, sizeof value);
}

void QxNodePtr::SetAttribute(std::string_view name, const std::vector<GUID>& value) const
{
    Write(m_node, name, QXN_TYPE_GUID_ARRAY, value.empty() ? nullptr : value.data(), ByteSize(value));
}

void QxNodePtr::SetAttribute(std::string_view name, const std::vector<std::string>& value) const
{
    std::u16string buffer;
    for (const std::string& item : value) {
        buffer += ToUtf16(item);
        buffer += u'\0';
    }
    const uint64_t bytes = uint64_t{buffer.size()} * 2;
    ThrowIf(bytes > UINT32_MAX, E_INVALIDARG);
    Write(m_node, name, QXN_TYPE_STRING_LIST, buffer.empty() ? nullptr : buffer.data(), static_cast<uint32_t>(bytes));
}

void QxNodePtr::SetAttribute(std::string_view name, const std::vector<int32_t>& value) const
{
    Write(m_node, name, QXN_TYPE_INT32_ARRAY, value.empty() ? nullptr : value.data(), ByteSize(value));
}

void QxNodePtr::SetAttributeRaw(std::string_view name, uint16_t type, const void* value, uint32_t size) const
{
    Write(m_node, name, type, value, size);
}

void QxNodePtr::DeleteAttribute(std::string_view name, bool mustExist) const
{
    const HRESULT hr = QxnDeleteAttribute(ThrowIfNull(m_node), ToUtf16(name).c_str());
    if (hr == kHrNotFound && !mustExist) return;
    ThrowIfFailed(hr);
}

std::vector<std::string> QxNodePtr::GetAttributeNames() const
{
    IQxNode* node = ThrowIfNull(m_node);
    std::u16string names;
    ThrowIfFailed(detail::ReadUnits<char16_t>(
        [&](char16_t* buffer, uint32_t* size) { return QxnGetAttributeNames(node, buffer, size); }, names));
    std::vector<std::string> list;
    size_t start = 0;
    while (start < names.size()) {
        size_t end = names.find(u'\0', start);
        if (end == std::u16string::npos) end = names.size();
        if (end > start) list.push_back(ToUtf8(std::u16string_view(names).substr(start, end - start)));
        start = end + 1;
    }
    return list;
}

void QxNodePtr::ThrowMissingAttribute(std::string_view name)
{
    ThrowHrWithDescription(kHrNotFound, "Element not found: attribute '" + std::string(name) + "'");
}

}  // namespace cvn
