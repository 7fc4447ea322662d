// ComPtr<T>: owning pointer to a reference-counted interface (AddRef on copy,
// Release on reset). Used by the host and the module alike.
// Thread safety: one ComPtr is used by one thread at a time; copies may be
// handed to other threads (the count itself is atomic in every object).
#pragma once

#include <utility>

#include "corvane/Components.h"

namespace cvn {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    /// Adds a reference to a non-null pointer.
    explicit ComPtr(T* pointer) noexcept : m_ptr(pointer)
    {
        if (m_ptr) m_ptr->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_ptr) {}
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    template <class U>
    ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.Get()))
    {
    }
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept
    {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }

    /// Takes over one reference that the caller already owns.
    static ComPtr Attach(T* pointer) noexcept
    {
        ComPtr result;
        result.m_ptr = pointer;
        return result;
    }
    T* Detach() noexcept { return std::exchange(m_ptr, nullptr); }

    void Reset() noexcept
    {
        if (T* old = std::exchange(m_ptr, nullptr)) old->Release();
    }
    /// Releases the current pointer and returns its slot, for out-parameters.
    T** Put() noexcept
    {
        Reset();
        return &m_ptr;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    T* Get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    T& operator*() const noexcept { return *m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    void Swap(ComPtr& other) noexcept { std::swap(m_ptr, other.m_ptr); }

    /// QueryInterface for I; the failing HRESULT when the object lacks it.
    template <class I>
    HRESULT As(ComPtr<I>& out) const noexcept
    {
        if (!m_ptr) return E_POINTER;
        return m_ptr->QueryInterface(&I::kIid, out.PutVoid());
    }

private:
    T* m_ptr = nullptr;
};

}  // namespace cvn
