// Interfaces of the component framework that the host and the module share.
// Each is a pure abstract struct without a virtual destructor: its vtable slots
// are exactly the listed methods in order, starting with AddRef, Release,
// QueryInterface. Identifiers stand beside each interface as kIid.
// Thread safety: reference counting is atomic; each method states its own rule.
#pragma once

#include "corvane/Nodestore.h"
#include "corvane/Platform.h"

namespace cvn {

/// Base of every object: add reference, release, query interface.
struct IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x51c3fba2, 0x85fe, 0x436b, 0xa0ff, 0x1c61a5c0c585);
    virtual ULONG AddRef() noexcept = 0;
    virtual ULONG Release() noexcept = 0;
    /// E_INVALIDARG for null arguments, E_NOINTERFACE (out untouched) for an unknown identifier.
    virtual HRESULT QueryInterface(const GUID* iid, void** out) noexcept = 0;

protected:
    ~IComponentBase() = default;
};

/// The module object handed out by GetComponentsModuleObject.
struct IComponentsModule : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x989524a9, 0x625d, 0x48c8, 0xab03, 0x7c084eb5265d);
    virtual HRESULT Initialize() noexcept = 0;
    virtual HRESULT Terminate() noexcept = 0;
    virtual ULONG Lock() noexcept = 0;
    virtual ULONG Unlock() noexcept = 0;
    /// E_POINTER for a null out pointer.
    virtual HRESULT IsInUse(BOOL* inUse) noexcept = 0;
    /// REGDB_E_CLASSNOTREG for an unknown class; else what the class's creator answers.
    virtual HRESULT CreateInstance(const GUID* clsid, const GUID* iid, void** out) noexcept = 0;

protected:
    ~IComponentsModule() = default;
};

struct IConfigurableComponent : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x9fd0681a, 0xa35d, 0x48ef, 0xa226, 0xde3846e19d38);
    virtual HRESULT Configure(IQxNode* configuration) noexcept = 0;

protected:
    ~IConfigurableComponent() = default;
};

struct IComponentWithShutdown : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x45622f80, 0x2f68, 0x4571, 0xbcbc, 0x70651601771b);
    virtual HRESULT Shutdown() noexcept = 0;

protected:
    ~IComponentWithShutdown() = default;
};

/// Request processor of a component; the same interface serves as the proxy of a remote service.
struct IRequestProcessor : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0xa3a15500, 0x301b, 0x4d78, 0xb415, 0x14e2a67399f3);
    /// The response out-parameter receives a new node owned by the caller.
    virtual HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept = 0;

protected:
    ~IRequestProcessor() = default;
};
using IServiceProxy = IRequestProcessor;

}  // namespace cvn

extern "C" {
/// The module's only export: E_INVALIDARG for null, else the module interface (no reference added).
typedef HRESULT (*GetComponentsModuleObjectFn)(void** module);
}
