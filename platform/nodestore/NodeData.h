// A node's own data packed in one heap block: its name, its type and its
// attributes in insertion order. One allocation per node instead of one per
// string, and a copy is a single memcpy. A parsed node's block lives in the
// parse's arena instead: it is read in place and copied to the heap by the
// first change.
// Layout: [name length][type length][name][type] then per attribute
// [type code][name length][value size][name][value], every part 4-aligned.
// Thread safety: read by many threads or changed by one; views returned by
// the readers stay valid until the next change.
#pragma once

#include <cstdint>
#include <cstring>
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
    ~NodeData() { Free(); }

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

    /// Lays out data in storage the caller owns (a parse's arena), for Borrow: first the name and the
    /// type, then each attribute, every text written by the caller in place. The caller reserves the
    /// room that HeaderRoom and AttributeRoom give for at most so many units and bytes.
    class Writer {
    public:
        static size_t HeaderRoom(size_t nameUnits, size_t typeUnits) noexcept
        {
            return kHeader + Align4((nameUnits + typeUnits) * 2);
        }
        static size_t AttributeRoom(size_t nameUnits, size_t valueSize) noexcept
        {
            return EntrySize(nameUnits, valueSize);
        }

        explicit Writer(uint8_t* block) noexcept : m_block(block), m_at(block) {}
        /// Where the name's units go, the type's right after them.
        char16_t* HeaderText() noexcept { return reinterpret_cast<char16_t*>(m_block + kHeader); }
        void EndHeader(size_t nameUnits, size_t typeUnits) noexcept;
        /// Where the next attribute's name goes.
        char16_t* AttributeName() noexcept { return reinterpret_cast<char16_t*>(m_at + kEntryHeader); }
        /// Where its value goes, after a name of nameUnits units.
        uint8_t* AttributeValue(size_t nameUnits) noexcept { return m_at + kEntryHeader + Align4(nameUnits * 2); }
        void EndAttribute(uint16_t type, size_t nameUnits, uint32_t valueSize) noexcept
        {
            const uint32_t fields[3] = {type, static_cast<uint32_t>(nameUnits), valueSize};
            std::memcpy(m_at, fields, sizeof fields);
            if (nameUnits % 2) m_at[kEntryHeader + nameUnits * 2] = m_at[kEntryHeader + nameUnits * 2 + 1] = 0;
            uint8_t* value = AttributeValue(nameUnits);
            for (size_t i = valueSize; i % 4; ++i) value[i] = 0;
            m_at += EntrySize(nameUnits, valueSize);
            m_blank = false;
        }
        /// The bytes written; Blank when there is no name, type or attribute (nothing to borrow).
        size_t Size() const noexcept { return static_cast<size_t>(m_at - m_block); }
        bool Blank() const noexcept { return m_blank; }

    private:
        uint8_t* m_block;
        uint8_t* m_at;
        bool m_blank = true;
    };

    /// Reads bytes that a Writer laid out, in place, in storage that outlives this data; the data
    /// must be empty.
    void Borrow(uint8_t* bytes, size_t size) noexcept;

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

    void Free() noexcept
    {
        if (m_capacity) ::operator delete(m_data);
    }
    void SetHeader(std::u16string_view name, std::u16string_view type);
    void EnsureHeader();
    void WriteEntry(size_t offset, size_t oldLength, std::u16string_view name, ValueView value);
    /// Replaces bytes [offset, offset + oldLength) by newLength undefined bytes.
    void Splice(size_t offset, size_t oldLength, size_t newLength);

    uint8_t* m_data = nullptr;  // null: no name, no type, no attributes; else it starts with the header
    uint32_t m_size = 0;
    uint32_t m_capacity = 0;  // 0 with data: borrowed bytes, never written (the first change copies them)
};

}  // namespace cvn::nodestore
