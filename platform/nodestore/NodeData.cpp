// The packed name, type and attributes of a node (see NodeData.h).
#include "platform/nodestore/NodeData.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace cvn::nodestore {

namespace {

uint32_t Load32(const uint8_t* at) noexcept
{
    uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

void Store32(uint8_t* at, uint32_t v) noexcept
{
    std::memcpy(at, &v, 4);
}

void Store16Zero(uint8_t* at) noexcept
{
    at[0] = at[1] = 0;
}

}  // namespace

NodeData::NodeData(const NodeData& other)
{
    if (!other.m_size) return;
    m_data = static_cast<uint8_t*>(::operator new(other.m_size));
    std::memcpy(m_data, other.m_data, other.m_size);
    m_size = m_capacity = other.m_size;
}

void NodeData::Borrow(uint8_t* bytes, size_t size) noexcept
{
    Free();
    m_data = size ? bytes : nullptr;
    m_size = static_cast<uint32_t>(size);
    m_capacity = 0;
}

void NodeData::Writer::EndHeader(size_t nameUnits, size_t typeUnits) noexcept
{
    Store32(m_block, static_cast<uint32_t>(nameUnits));
    Store32(m_block + 4, static_cast<uint32_t>(typeUnits));
    const size_t textBytes = (nameUnits + typeUnits) * 2;
    if (textBytes % 4) Store16Zero(m_block + kHeader + textBytes);
    m_at = m_block + kHeader + Align4(textBytes);
    m_blank = textBytes == 0;
}

uint32_t NodeData::Header(int index) const noexcept
{
    return m_data ? Load32(m_data + index * 4) : 0;
}

size_t NodeData::EntrySizeAt(const uint8_t* entry) noexcept
{
    return EntrySize(Load32(entry + 4), Load32(entry + 8));
}

AttributeRef NodeData::Iterator::operator*() const noexcept
{
    const uint32_t nameLength = Load32(m_at + 4);
    const uint8_t* name = m_at + kEntryHeader;
    uint16_t type;
    std::memcpy(&type, m_at, 2);
    return {{reinterpret_cast<const char16_t*>(name), nameLength},
            {type, name + Align4(nameLength * 2), Load32(m_at + 8)}};
}

NodeData::Iterator& NodeData::Iterator::operator++() noexcept
{
    m_at += EntrySizeAt(m_at);
    return *this;
}

const uint8_t* NodeData::FindEntry(std::u16string_view name) const noexcept
{
    for (Iterator it = begin(), last = end(); it != last; ++it)
        if ((*it).name == name) return it.m_at;
    return nullptr;
}

ValueView NodeData::Find(std::u16string_view name) const noexcept
{
    const uint8_t* entry = FindEntry(name);
    return entry ? (*Iterator(entry)).value : ValueView{};
}

void NodeData::Set(std::u16string_view name, ValueView value)
{
    if ((value.size && Inside(value.data)) || Inside(name.data())) {  // would move under the splice
        const std::u16string nameCopy(name);
        ValueBuffer valueCopy;
        valueCopy.Assign(value);
        Set(nameCopy, valueCopy.View());
        return;
    }
    EnsureHeader();
    if (const uint8_t* existing = FindEntry(name)) {
        WriteEntry(static_cast<size_t>(existing - m_data), EntrySizeAt(existing), name, value);
    } else {
        WriteEntry(m_size, 0, name, value);
    }
}

void NodeData::Append(std::u16string_view name, ValueView value)
{
    if ((value.size && Inside(value.data)) || Inside(name.data())) {
        Set(name, value);
        return;
    }
    EnsureHeader();
    WriteEntry(m_size, 0, name, value);
}

void NodeData::WriteEntry(size_t offset, size_t oldLength, std::u16string_view name, ValueView value)
{
    const size_t nameBytes = Align4(name.size() * 2);
    const size_t newLength = EntrySize(name.size(), value.size);
    Splice(offset, oldLength, newLength);
    uint8_t* entry = m_data + offset;
    std::memcpy(entry, &value.type, 2);
    entry[2] = entry[3] = 0;
    Store32(entry + 4, static_cast<uint32_t>(name.size()));
    Store32(entry + 8, value.size);
    uint8_t* at = entry + kEntryHeader;
    if (nameBytes) Store32(at + nameBytes - 4, 0);  // the padding
    std::memcpy(at, name.data(), name.size() * 2);
    at += nameBytes;
    if (value.size) {
        Store32(at + Align4(value.size) - 4, 0);
        std::memcpy(at, value.data, value.size);
    }
}

bool NodeData::Erase(std::u16string_view name)
{
    const uint8_t* entry = FindEntry(name);
    if (!entry) return false;
    Splice(static_cast<size_t>(entry - m_data), EntrySizeAt(entry), 0);
    return true;
}

bool NodeData::Inside(const void* at) const noexcept
{
    const auto address = reinterpret_cast<uintptr_t>(at);
    const auto base = reinterpret_cast<uintptr_t>(m_data);
    return m_data && address >= base && address < base + m_size;
}

void NodeData::SetHeader(std::u16string_view name, std::u16string_view type)
{
    if (!m_data && name.empty() && type.empty()) return;
    if (Inside(name.data()) || Inside(type.data())) {  // views of this block would move under the splice
        const std::u16string both = std::u16string(name) + std::u16string(type);
        SetHeader(std::u16string_view(both).substr(0, name.size()), std::u16string_view(both).substr(name.size()));
        return;
    }
    Splice(0, AttributesStart(), kHeader + Align4((name.size() + type.size()) * 2));
    Store32(m_data, static_cast<uint32_t>(name.size()));
    Store32(m_data + 4, static_cast<uint32_t>(type.size()));
    if (!name.empty()) std::memcpy(m_data + kHeader, name.data(), name.size() * 2);
    if (!type.empty()) std::memcpy(m_data + kHeader + name.size() * 2, type.data(), type.size() * 2);
}

void NodeData::EnsureHeader()
{
    if (m_data) return;
    Splice(0, 0, kHeader);
    Store32(m_data, 0);
    Store32(m_data + 4, 0);
}

void NodeData::Reserve(size_t bytes)
{
    const size_t wanted = (m_data ? m_size : kHeader) + bytes;
    if (wanted <= m_capacity) return;
    if (wanted > UINT32_MAX) throw std::bad_alloc();
    auto* data = static_cast<uint8_t*>(::operator new(wanted));
    if (m_data) {
        std::memcpy(data, m_data, m_size);
    } else {  // an empty header, as every allocated block has
        Store32(data, 0);
        Store32(data + 4, 0);
        m_size = kHeader;
    }
    Free();
    m_data = data;
    m_capacity = static_cast<uint32_t>(wanted);
}

void NodeData::Splice(size_t offset, size_t oldLength, size_t newLength)
{
    const size_t tail = m_size - offset - oldLength;
    const size_t newSize = m_size - oldLength + newLength;
    if (newSize > UINT32_MAX) throw std::bad_alloc();
    if (newSize > m_capacity) {
        const size_t capacity =
            std::min<size_t>(UINT32_MAX, std::max<size_t>({newSize, m_capacity + m_capacity / 2, 128}));
        auto* data = static_cast<uint8_t*>(::operator new(capacity));
        if (offset) std::memcpy(data, m_data, offset);
        if (tail) std::memcpy(data + offset + newLength, m_data + offset + oldLength, tail);
        Free();
        m_data = data;
        m_capacity = static_cast<uint32_t>(capacity);
    } else if (tail && oldLength != newLength) {
        std::memmove(m_data + offset + newLength, m_data + offset + oldLength, tail);
    }
    m_size = static_cast<uint32_t>(newSize);
}

}  // namespace cvn::nodestore
