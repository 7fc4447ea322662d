// The module object and its class table.
#include "common/Components/ModuleObject.h"

#include <new>

#include "common/Components/DbgAliveObjectsTracker.h"

namespace cvn {

ModuleObject& ModuleObject::Instance() noexcept
{
    // Placement into static storage: never destroyed, so components released
    // during process exit still reach a live object.
    alignas(ModuleObject) static unsigned char storage[sizeof(ModuleObject)];
    static ModuleObject* instance = new (storage) ModuleObject();
    return *instance;
}

void ModuleObject::RegisterClass(const GUID& clsid, Creator creator)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_classes.emplace(clsid, creator);
}

HRESULT ModuleObject::QueryInterface(const GUID* iid, void** out) noexcept
{
    if (!iid || !out) return E_INVALIDARG;
    if (*iid == IComponentBase::kIid || *iid == IComponentsModule::kIid) {
        *out = static_cast<IComponentsModule*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT ModuleObject::Terminate() noexcept
{
    AliveObjectsTracker::Instance().Report();
    return S_OK;
}

HRESULT ModuleObject::IsInUse(BOOL* inUse) noexcept
{
    if (!inUse) return E_POINTER;
    *inUse = m_count.load() != 0 ? 1 : 0;
    return S_OK;
}

HRESULT ModuleObject::CreateInstance(const GUID* clsid, const GUID* iid, void** out) noexcept
{
    if (!clsid || !iid || !out) return E_INVALIDARG;
    Creator creator = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_classes.find(*clsid);
        if (found != m_classes.end()) creator = found->second;
    }
    if (!creator) return REGDB_E_CLASSNOTREG;
    return creator(iid, out);
}

}  // namespace cvn
