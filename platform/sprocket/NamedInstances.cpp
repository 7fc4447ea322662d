// Named component instances: one process-wide table from instance name to
// object. Lookups add a reference under the lock and query outside it, so an
// object's own code never runs while the table is locked.
#include <mutex>
#include <string>
#include <unordered_map>

#include "corvane/NamedInstances.h"

namespace {

using cvn::IComponentBase;

constexpr HRESULT kHrAlreadyExists = cvn::HResultFromWin32(183);  // ERROR_ALREADY_EXISTS

struct Registry {
    std::mutex lock;
    std::unordered_map<std::u16string, IComponentBase*> instances;
};

// Never destroyed: objects still registered at exit may belong to libraries
// that are already unloaded, so releasing them then would be unsafe.
Registry& Instances()
{
    static Registry* registry = new Registry();
    return *registry;
}

bool IsValidName(const char16_t* name)
{
    return name && *name;
}

}  // namespace

extern "C" {

CV_EXPORT HRESULT SkGetNamedInstance(const char16_t* name, uint32_t reserved, const GUID* riid, void** out)
{
    if (!out) return cvn::E_POINTER;
    *out = nullptr;
    if (!IsValidName(name) || reserved != 0 || !riid) return cvn::E_INVALIDARG;
    IComponentBase* object = nullptr;
    {
        Registry& registry = Instances();
        std::lock_guard guard(registry.lock);
        auto found = registry.instances.find(name);
        if (found == registry.instances.end()) return cvn::kHrNotFound;
        object = found->second;
        object->AddRef();
    }
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

CV_EXPORT HRESULT SkRegisterNamedInstance(const char16_t* name, cvn::IComponentBase* object)
{
    if (!IsValidName(name)) return cvn::E_INVALIDARG;
    if (!object) return cvn::E_POINTER;
    Registry& registry = Instances();
    std::lock_guard guard(registry.lock);
    auto [where, inserted] = registry.instances.try_emplace(name, object);
    if (!inserted) return kHrAlreadyExists;
    object->AddRef();
    return cvn::S_OK;
}

CV_EXPORT HRESULT SkUnregisterNamedInstance(const char16_t* name)
{
    if (!IsValidName(name)) return cvn::E_INVALIDARG;
    IComponentBase* object = nullptr;
    {
        Registry& registry = Instances();
        std::lock_guard guard(registry.lock);
        auto found = registry.instances.find(name);
        if (found == registry.instances.end()) return cvn::kHrNotFound;
        object = found->second;
        registry.instances.erase(found);
    }
    // The last release may run a destructor that calls back into this table.
    object->Release();
    return cvn::S_OK;
}
}
