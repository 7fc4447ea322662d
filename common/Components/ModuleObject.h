// The module object: one static instance per process that counts live
// components and locks, and creates components by class identifier from the
// class table that each component fills at static initialisation.
// Thread safety: counts are atomic; the class table is guarded by its lock.
#pragma once

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "corvane/Components.h"

namespace cvn {

class ModuleObject final : public IComponentsModule {
public:
    using Creator = HRESULT (*)(const GUID* iid, void** out) noexcept;

    /// Created on first use and never destroyed, so late releases still find it.
    static ModuleObject& Instance() noexcept;

    /// Adds a class; a second creator for the same identifier is ignored.
    void RegisterClass(const GUID& clsid, Creator creator);
    ULONG LockCount() const noexcept { return m_count.load(); }

    ULONG AddRef() noexcept override { return 0xFFFFFFFFu; }
    ULONG Release() noexcept override { return 0xFFFFFFFFu; }
    HRESULT QueryInterface(const GUID* iid, void** out) noexcept override;
    HRESULT Initialize() noexcept override { return S_OK; }
    HRESULT Terminate() noexcept override;
    ULONG Lock() noexcept override { return m_count.fetch_add(1) + 1; }
    ULONG Unlock() noexcept override { return m_count.fetch_sub(1) - 1; }
    HRESULT IsInUse(BOOL* inUse) noexcept override;
    HRESULT CreateInstance(const GUID* clsid, const GUID* iid, void** out) noexcept override;

private:
    ModuleObject() = default;
    ~ModuleObject() = default;

    std::atomic<ULONG> m_count{0};
    std::mutex m_lock;
    std::unordered_map<GUID, Creator> m_classes;
};

}  // namespace cvn
