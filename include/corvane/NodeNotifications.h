// Change notification interfaces of the node library: a modification sink,
// the subscription object, and the enumerator of modification nodes.
// Thread safety: a sink may be called from any thread; enumerators belong to
// the call that hands them out.
#pragma once

#include "corvane/Components.h"

namespace cvn {

/// A sequence of nodes; Prepare(8) once, then Next until it answers non-zero.
struct IQxNodeSequence : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x7d3c2b1a, 0x0e9f, 0x4a8b, 0x9c7d, 0x6e5f4a3b2c1d);
    virtual HRESULT Prepare(uint32_t flags) noexcept = 0;
    /// S_OK with a new node, S_FALSE with null at the end.
    virtual HRESULT Next(IQxNode** node) noexcept = 0;

protected:
    ~IQxNodeSequence() = default;
};

/// The modifications of one notification.
struct IQxNodeModifyEnum : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x5a4b3c2d, 0x1e0f, 0x4a9b, 0x8c7d, 0x6e5f4a3b2c1e);
    virtual HRESULT GetNodes(IQxNodeSequence** nodes) noexcept = 0;

protected:
    ~IQxNodeModifyEnum() = default;
};

/// One subscription at a configuration server.
struct IQxModifySubscription : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x3c2d1e0f, 0x4a5b, 0x4c6d, 0x8e7f, 0x9a0b1c2d3e4f);
    virtual HRESULT Activate() noexcept = 0;
    virtual HRESULT Deactivate() noexcept = 0;
    virtual HRESULT GetId(GUID* id) noexcept = 0;

protected:
    ~IQxModifySubscription() = default;
};

/// Called by the server for the modifications of a subscription.
struct IQxModifySink : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x1e0f3c2d, 0x5b4a, 0x4d6c, 0x9f8e, 0x0a1b2c3d4e5f);
    /// synchronous non-zero: exactly one modification, to be handled before returning.
    virtual HRESULT OnTriggered(IQxModifySubscription* subscription, int32_t synchronous,
                                IQxNodeModifyEnum* modifications) noexcept = 0;

protected:
    ~IQxModifySink() = default;
};

}  // namespace cvn
