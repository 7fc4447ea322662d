// A node's own data packed in one heap block: its name, its type and its
// attributes in insertion order. One allocation per node instead of one per
// string, and a copy is a single memcpy.
// Layout: [name length][type length][name][type] then per attribute
// [type code][name length][value size][name][value], every part 4-aligned.
// Thread safety: read by many threads or changed by one; views returned by
// the readers stay valid until the next change.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/nodestore/Value.h"

namespace cvn::nodestore {

struct AttributeRef {
    std::u16string_view name;
    ValueView value;
};

class NodeData {
public:
    NodeData() noexcept = default;
    NodeData(const NodeData& other);
    NodeData& operator=(const NodeData& other)
    {
        NodeData copy(other);
        std::swap(m_data, copy.m_data);
        std::swap(m_size, copy.m_size);
        std::swap(m_capacity, copy.m_capacity);
        return *this;
    }
    ~NodeData() { ::operator delete(m_data); }

    std::u16string_view Name() const noexcept { return Text(kHeader, Header(0)); }
    std::u16string_view Type() const noexcept { return Text(kHeader + Header(0) * 2, Header(1)); }
    /// Empty means none. Each change throws bad_alloc before changing anything.
    void SetName(std::u16string_view name) { SetHeader(name, Type()); }
    void SetType(std::u16string_view type) { SetHeader(Name(), type); }
    void SetNameAndType(std::u16string_view name, std::u16string_view type) { SetHeader(name, type); }

    /// Makes room for bytes more bytes of attributes, so that a node filled in one go is allocated once.
    void Reserve(size_t bytes);
    /// The bytes an attribute takes, for Reserve.
    static size_t AttributeSize(size_t nameLength, size_t valueSize) noexcept
    {
        return EntrySize(nameLength, valueSize);
    }

    /// The attribute's value; a view of type 0 when absent.
    ValueView Find(std::u16string_view name) const noexcept;
    /// Overwrites in place (keeping the position) or appends.
    void Set(std::u16string_view name, ValueView value);
    /// Appends an attribute that the caller knows is absent.
    void Append(std::u16string_view name, ValueView value);
    /// False when absent.
    bool Erase(std::u16string_view name);
    bool HasAttributes() const noexcept { return m_size > AttributesStart(); }

    class Iterator {
    public:
        AttributeRef operator*() const noexcept;
        Iterator& operator++() noexcept;
        bool operator!=(const Iterator& other) const noexcept { return m_at != other.m_at; }

    private:
        friend class NodeData;
        explicit Iterator(const uint8_t* at) noexcept : m_at(at) {}
        const uint8_t* m_at;
    };
    Iterator begin() const noexcept { return Iterator(m_data + AttributesStart()); }
    Iterator end() const noexcept { return Iterator(m_data + m_size); }

private:
    static constexpr uint32_t kHeader = 8;        // name and type lengths
    static constexpr uint32_t kEntryHeader = 12;  // type code, name length, value size

    static constexpr size_t Align4(size_t n) noexcept { return (n + 3) & ~size_t{3}; }
    static size_t EntrySize(size_t nameLength, size_t valueSize) noexcept
    {
        return kEntryHeader + Align4(nameLength * 2) + Align4(valueSize);
    }
    static size_t EntrySizeAt(const uint8_t* entry) noexcept;

    uint32_t Header(int index) const noexcept;
    std::u16string_view Text(size_t offset, uint32_t length) const noexcept
    {
        return length ? std::u16string_view(reinterpret_cast<const char16_t*>(m_data + offset), length)
                      : std::u16string_view();
    }
    size_t AttributesStart() const noexcept { return m_data ? kHeader + Align4((Header(0) + Header(1)) * 2) : 0; }
    const uint8_t* FindEntry(std::u16string_view name) const noexcept;
    bool Inside(const void* at) const noexcept;

    void SetHeader(std::u16string_view name, std::u16string_view type);
    void EnsureHeader();
    void WriteEntry(size_t offset, size_t oldLength, std::u16string_view name, ValueView value);
    /// Replaces bytes [offset, offset + oldLength) by newLength undefined bytes.
    void Splice(size_t offset, size_t oldLength, size_t newLength);

    uint8_t* m_data = nullptr;  // null: no name, no type, no attributes; else it starts with the header
    uint32_t m_size = 0;
    uint32_t m_capacity = 0;
};

}  // namespace cvn::nodestore
