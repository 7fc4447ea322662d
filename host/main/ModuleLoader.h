// Loads libcorvane.so with dlopen and reaches it only through its export
// GetComponentsModuleObject and the component interfaces.
// Thread safety: Load and Unload from one thread; Create may be called from
// any thread while the module is loaded.
#pragma once

#include <string>

#include "corvane/ComPtr.h"
#include "corvane/Components.h"

namespace cvn::hostmain {

class LoadedModule {
public:
    LoadedModule() = default;
    /// Unload().
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    /// dlopen, the export, Initialize. Throws HostError naming the file and what failed.
    void Load(const std::string& path);
    /// A new component of the class; throws HostError with the module's HRESULT (0x80040154: not registered).
    ComPtr<IComponentBase> Create(const GUID& classId, const std::string& what);
    /// Terminate (the module's report of objects still alive) and dlclose; nothing when not loaded.
    void Unload() noexcept;
    bool IsLoaded() const noexcept { return m_module != nullptr; }
    /// TRUE while a component of the module is alive; false when not loaded.
    bool IsInUse() const noexcept;

private:
    void* m_library = nullptr;
    IComponentsModule* m_module = nullptr;
};

/// The directory holding the running program ("." when it cannot be read).
std::string ExecutableDirectory();

}  // namespace cvn::hostmain
