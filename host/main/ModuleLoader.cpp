// Module loading through the one export.
#include "host/main/ModuleLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "common/Helpers/PrimitiveText.h"
#include "host/main/HostError.h"

namespace cvn::hostmain {

LoadedModule::~LoadedModule() { Unload(); }

void LoadedModule::Load(const std::string& path)
{
    if (m_library) throw HostError("the module is already loaded");
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        throw HostError("cannot load the module '" + path + "': " + (reason ? reason : "unknown reason"));
    }
    auto get = reinterpret_cast<GetComponentsModuleObjectFn>(dlsym(library, "GetComponentsModuleObject"));
    void* raw = nullptr;
    const HRESULT got = get ? get(&raw) : E_FAIL;
    if (!get || got < 0 || !raw) {
        dlclose(library);
        throw HostError("the module '" + path + "' does not hand out its module object (" +
                        (get ? HrToText(got) : std::string("no GetComponentsModuleObject export")) + ")");
    }
    auto* module = static_cast<IComponentsModule*>(raw);
    const HRESULT initialized = module->Initialize();
    if (initialized < 0) {
        dlclose(library);
        throw HostError("the module '" + path + "' refused Initialize: " + HrToText(initialized));
    }
    m_library = library;
    m_module = module;
}

ComPtr<IComponentBase> LoadedModule::Create(const GUID& classId, const std::string& what)
{
    if (!m_module) throw HostError("cannot create " + what + ": the module is not loaded");
    ComPtr<IComponentBase> object;
    const HRESULT created = m_module->CreateInstance(&classId, &IComponentBase::kIid, object.PutVoid());
    if (created < 0 || !object)
        throw HostError("cannot create " + what + ": " + HrToText(created) +
                        (created == REGDB_E_CLASSNOTREG ? " (class not registered in the module)" : ""));
    return object;
}

bool LoadedModule::IsInUse() const noexcept
{
    BOOL inUse = 0;
    return m_module && m_module->IsInUse(&inUse) >= 0 && inUse;
}

void LoadedModule::Unload() noexcept
{
    if (!m_module) return;
    m_module->Terminate();
    BOOL inUse = 0;
    // A component still alive would run code from an unmapped library: keep it mapped then.
    if (m_module->IsInUse(&inUse) >= 0 && !inUse) dlclose(m_library);
    m_module = nullptr;
    m_library = nullptr;
}

std::string ExecutableDirectory()
{
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    const std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/'));
}

}  // namespace cvn::hostmain
