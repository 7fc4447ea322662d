// The component object wrapper: Implements<I...> lists the interfaces a class
// exposes, CComponentObject<T> adds the one shared reference count, the
// generated QueryInterface, module locking and alive-object tracking, and
// CreateComponent<T> is the only way to make one.
// Thread safety: reference counts are atomic; FinalConstruct runs before the
// object is shared, FinalRelease after the last reference is gone.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/Components/DbgAliveObjectsTracker.h"
#include "common/Components/ModuleObject.h"
#include "common/ErrorHandling/HRX.h"
#include "corvane/ComPtr.h"
#include "corvane/Components.h"

namespace cvn {

/// The qualified name of T, as the compiler spells it ("Corvane::CCorvaneGate").
template <class T>
constexpr std::string_view QualifiedTypeName() noexcept
{
    std::string_view text = __PRETTY_FUNCTION__;
    const std::string_view marker = "T = ";
    const size_t begin = text.find(marker) + marker.size();
    const size_t end = text.find_first_of(";]", begin);
    return text.substr(begin, end - begin);
}

/// Base of a component class: derives from the interfaces it exposes and
/// finds them by identifier. FinalConstruct/FinalRelease may be hidden by T.
template <class First, class... Rest>
class Implements : public First, public Rest... {
public:
    HRESULT FinalConstruct() noexcept { return S_OK; }
    void FinalRelease() noexcept {}

    /// The interface pointer for iid without adding a reference, or null.
    void* FindInterface(const GUID& iid) noexcept
    {
        if (iid == IComponentBase::kIid || iid == First::kIid) return static_cast<First*>(this);
        void* found = nullptr;
        (void(found == nullptr && iid == Rest::kIid && (found = static_cast<Rest*>(this))), ...);
        return found;
    }

protected:
    Implements() = default;
    ~Implements() = default;
};

template <class T>
class CComponentObject final : public T {
public:
    template <class... Args>
    explicit CComponentObject(Args&&... args) : T(std::forward<Args>(args)...)
    {
        ModuleObject::Instance().Lock();
        AliveObjectsTracker::Instance().Register(this, Tag());
    }

    ~CComponentObject()
    {
        AliveObjectsTracker::Instance().Unregister(this);
        ModuleObject::Instance().Unlock();
    }

    ULONG AddRef() noexcept override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() noexcept override
    {
        const ULONG remaining = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining == 0) {
            this->FinalRelease();
            delete this;
        }
        return remaining;
    }

    HRESULT QueryInterface(const GUID* iid, void** out) noexcept override
    {
        if (!iid || !out) return E_INVALIDARG;
        void* found = this->FindInterface(*iid);
        if (!found) return E_NOINTERFACE;
        AddRef();
        *out = found;
        return S_OK;
    }

    static const std::string& Tag()
    {
        static const std::string tag =
            "CComponentObject<class " + std::string(QualifiedTypeName<T>()) + ">::CComponentObject";
        return tag;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

/// Makes a T (constructor arguments forwarded) and runs FinalConstruct; throws HRX on failure,
/// leaving nothing registered or counted.
template <class T, class... Args>
ComPtr<CComponentObject<T>> CreateComponent(Args&&... args)
{
    auto* object = new CComponentObject<T>(std::forward<Args>(args)...);
    const HRESULT hr = object->FinalConstruct();
    if (hr < 0) {
        delete object;
        ThrowHr(hr);
    }
    return ComPtr<CComponentObject<T>>::Attach(object);
}

/// Creator for the class table: makes a T and hands out the requested interface (its one reference).
template <class T>
HRESULT CreateInstanceOf(const GUID* iid, void** out) noexcept
{
    if (!iid || !out) return E_INVALIDARG;
    CComponentObject<T>* object = nullptr;
    try {
        object = new CComponentObject<T>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return ResultFromCaughtException("cvn::CreateInstanceOf");
    }
    const HRESULT constructed = object->FinalConstruct();
    if (constructed < 0) {
        delete object;
        return constructed;
    }
    void* found = object->FindInterface(*iid);
    if (!found) {
        object->Release();
        return E_NOINTERFACE;
    }
    *out = found;
    return S_OK;
}

/// Registers T under its class identifier at static initialisation: `static ClassRegistration<CFoo> reg{kClsid};`
template <class T>
struct ClassRegistration {
    explicit ClassRegistration(const GUID& clsid) { ModuleObject::Instance().RegisterClass(clsid, &CreateInstanceOf<T>); }
};

}  // namespace cvn
