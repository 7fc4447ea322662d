// A node's ordered child pointers: a small vector that may also view storage
// it does not own (a parsed tree's arena), which it leaves in place and copies
// out on the first growth.
// Thread safety: read by many threads or changed by one.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

struct IQxNode;

namespace cvn::nodestore {

class ChildList {
public:
    ChildList() noexcept = default;
    ~ChildList() { Free(); }
    ChildList(const ChildList&) = delete;
    ChildList& operator=(const ChildList&) = delete;

    size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    IQxNode* operator[](size_t index) const noexcept { return m_items[index]; }
    IQxNode* back() const noexcept { return m_items[m_size - 1]; }
    IQxNode* const* begin() const noexcept { return m_items; }
    IQxNode* const* end() const noexcept { return m_items + m_size; }

    /// Makes room for count children in all; throws bad_alloc before changing anything.
    void reserve(size_t count)
    {
        if (count > m_capacity) Grow(count < m_size ? m_size : count);
    }
    /// Makes room for one more child (growing geometrically), so that push_back cannot fail.
    void ReserveOneMore()
    {
        if (m_size == m_capacity || !m_capacity) Grow(m_size < 2 ? 4 : size_t{m_size} * 2);
    }
    void push_back(IQxNode* child)
    {
        if (m_size == m_capacity || !m_capacity) Grow(m_size < 2 ? 4 : size_t{m_size} * 2);
        m_items[m_size++] = child;
    }
    void pop_back() noexcept { --m_size; }
    /// Removes the child at position (one of begin()..end()-1), keeping the order.
    void erase(IQxNode* const* position) noexcept
    {
        const size_t index = static_cast<size_t>(position - m_items);
        std::memmove(m_items + index, m_items + index + 1, (m_size - index - 1) * sizeof(IQxNode*));
        --m_size;
    }

    /// Views count children in storage owned elsewhere, which outlives the list; the list must be empty.
    void Borrow(IQxNode** items, size_t count) noexcept
    {
        m_items = items;
        m_size = static_cast<uint32_t>(count);
        m_capacity = 0;
    }

    /// Appends within the borrowed storage, which the caller made room for.
    void PushBorrowed(IQxNode* child) noexcept { m_items[m_size++] = child; }

private:
    void Free() noexcept
    {
        if (m_capacity) ::operator delete(m_items);
    }
    void Grow(size_t capacity)
    {
        if (capacity < m_size || capacity > UINT32_MAX) throw std::bad_alloc();
        auto** items = static_cast<IQxNode**>(::operator new(capacity * sizeof(IQxNode*)));
        if (m_size) std::memcpy(items, m_items, m_size * sizeof(IQxNode*));
        Free();
        m_items = items;
        m_capacity = static_cast<uint32_t>(capacity);
    }

    IQxNode** m_items = nullptr;
    uint32_t m_size = 0;
    uint32_t m_capacity = 0;  ///< 0 with items: borrowed storage, never written past m_size
};

}  // namespace cvn::nodestore
