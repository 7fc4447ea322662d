// corvane-probe: loads libcorvane.so the way a host does (dlopen, one export)
// and prints what the module object reports. Exit code 0 when the module
// behaves, 1 when it cannot be loaded or answers wrongly.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "corvane/Components.h"

using namespace cvn;

namespace {

std::string ExecutableDirectory()
{
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/'));
}

struct KnownClass {
    const char* name;
    GUID clsid;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf("usage: corvane-probe [path-to-libcorvane.so]\n"
                    "Loads the module with dlopen and prints what its module object reports.\n");
        return 0;
    }
    const std::string library = argc > 1 ? argv[1] : ExecutableDirectory() + "/libcorvane.so";
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "corvane-probe: cannot load %s: %s\n", library.c_str(), dlerror());
        return 1;
    }
    auto getModule = reinterpret_cast<GetComponentsModuleObjectFn>(dlsym(handle, "GetComponentsModuleObject"));
    if (!getModule) {
        std::fprintf(stderr, "corvane-probe: %s does not export GetComponentsModuleObject\n", library.c_str());
        return 1;
    }

    bool ok = true;
    std::printf("Module file:            %s\n", library.c_str());
    const HRESULT nullArgument = getModule(nullptr);
    std::printf("Null argument:          0x%08X\n", static_cast<unsigned>(nullArgument));
    ok &= nullArgument == E_INVALIDARG;

    void* raw = nullptr;
    const HRESULT got = getModule(&raw);
    std::printf("GetComponentsModuleObject: 0x%08X, module object at %p\n", static_cast<unsigned>(got), raw);
    if (got < 0 || !raw) return 1;
    auto* module = static_cast<IComponentsModule*>(raw);

    std::printf("AddRef/Release:         0x%08X / 0x%08X\n", module->AddRef(), module->Release());
    void* queried = nullptr;
    std::printf("QueryInterface(module): 0x%08X\n",
                static_cast<unsigned>(module->QueryInterface(&IComponentsModule::kIid, &queried)));
    std::printf("Initialize:             0x%08X\n", static_cast<unsigned>(module->Initialize()));

    BOOL inUse = 1;
    module->IsInUse(&inUse);
    std::printf("IsInUse:                %s\n", inUse ? "TRUE" : "FALSE");
    const ULONG locked = module->Lock();
    module->IsInUse(&inUse);
    std::printf("After Lock (count %u):   IsInUse %s\n", locked, inUse ? "TRUE" : "FALSE");
    ok &= inUse != 0;
    const ULONG unlocked = module->Unlock();
    module->IsInUse(&inUse);
    std::printf("After Unlock (count %u): IsInUse %s\n", unlocked, inUse ? "TRUE" : "FALSE");

    const KnownClass classes[] = {
        {"CCorvaneGate", MakeGuid(0x87074C74, 0x6D4D, 0x4288, 0x92E8, 0xB954789A88BD)},
        {"CDataRetrieverFactory", MakeGuid(0xE6A80730, 0x806E, 0x431E, 0xBBF2, 0x2A798AF505EE)},
        {"CMetaInfoProvider", MakeGuid(0x220E738F, 0x064E, 0x4BB2, 0x9F1D, 0xCA7F3E69ECC9)},
    };
    for (const KnownClass& known : classes) {
        IComponentBase* object = nullptr;
        const HRESULT created =
            module->CreateInstance(&known.clsid, &IComponentBase::kIid, reinterpret_cast<void**>(&object));
        if (created >= 0 && object) {
            std::printf("Class %-22s registered\n", known.name);
            object->Release();
        } else {
            std::printf("Class %-22s 0x%08X%s\n", known.name, static_cast<unsigned>(created),
                        created == REGDB_E_CLASSNOTREG ? " (not registered)" : "");
        }
    }
    module->IsInUse(&inUse);
    std::printf("IsInUse at the end:     %s\n", inUse ? "TRUE" : "FALSE");
    ok &= inUse == 0;
    std::printf("Terminate:              0x%08X\n", static_cast<unsigned>(module->Terminate()));
    dlclose(handle);
    return ok ? 0 : 1;
}
