// Interfaces of the host's services that the module reaches by instance name:
// configuration store and server, service client, request contexts, change
// notifications. Slots follow AddRef, Release, QueryInterface in the listed
// order; methods the module does not call are the host's own operations.
// Thread safety: every method may be called from any thread unless noted.
#pragma once

#include "corvane/Components.h"
#include "corvane/NodeNotifications.h"

namespace cvn {

/// Configuration store addressed by backslash paths ("\Statuses\OverviewMetricsStatus").
struct IConfigStorage : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x8ef91b5e, 0x1b76, 0x4811, 0x8a4f, 0xdfa0328ad473);
    /// Removes the subtree a FilterByPath node names; 0x80070490 when nothing is there.
    virtual HRESULT DeleteNodes(IQxNode* filter, uint32_t flags) noexcept = 0;
    /// Writes the store to its backing file, if it has one.
    virtual HRESULT Flush(uint32_t flags) noexcept = 0;
    /// Stores each node at the full path it carries (name kind 2), replacing what was there.
    virtual HRESULT WriteNodes(IQxNode* context, uint32_t flags, IQxNode* const* nodes, uint64_t count) noexcept = 0;
    /// How many nodes a FilterByPath node would return.
    virtual HRESULT CountNodes(IQxNode* filter, uint64_t* count) noexcept = 0;
    /// The node at the filter's path with its subtree (to MaxDepth) in nodes[0]; *returned 0 when absent.
    virtual HRESULT ReadNodes(IQxNode* filter, uint32_t flags, IQxNode** nodes, uint64_t capacity,
                              uint64_t* returned) noexcept = 0;

protected:
    ~IConfigStorage() = default;
};

/// Subscriptions at the configuration server ("ConfigServer.Proxy").
struct IConfigSubscriptions : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0xb3be9604, 0x1352, 0x4dab, 0xb413, 0xd37764c0ce97);
    /// pathFilter: FilterByPath node; options: "SubscribeConfig" node with 64-bit "ChangesMask" and "SubscribeOptions".
    virtual HRESULT Subscribe(IQxNode* pathFilter, IQxNode* options, IQxModifySink* sink,
                              IQxModifySubscription** subscription) noexcept = 0;
    /// After it returns, the subscription's sink is not called again.
    virtual HRESULT Unsubscribe(IQxModifySubscription* subscription) noexcept = 0;

protected:
    ~IConfigSubscriptions() = default;
};

/// Proxies to services registered in the host ("Core.ServiceClient").
struct IServiceClient : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0xc2b9c593, 0xbf5e, 0x42f8, 0x8129, 0x2bfd7d900e53);
    /// 0x80070490 for an unknown service URI.
    virtual HRESULT CreateProxy(const char16_t* uri, uint32_t flags, const GUID* riid, void** proxy) noexcept = 0;

protected:
    ~IServiceClient() = default;
};

/// Cancellation state of one request.
struct IRequestState : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x6b0c6d71, 0x0f7e, 0x4d0a, 0x9e4c, 0x3d1b2a5f8e11);
    virtual HRESULT IsCancelled(BOOL* cancelled) noexcept = 0;
    /// Marks the request cancelled by its caller.
    virtual HRESULT Cancel() noexcept = 0;

protected:
    ~IRequestState() = default;
};

/// The context of one request, bound to the threads that serve it.
struct IRequestContext : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x2f6e4a8c, 0x5b3d, 0x4c1e, 0x8a7f, 0x9c0d1e2f3a4b);
    virtual HRESULT GetRequestId(GUID* id) noexcept = 0;
    /// Wall-clock creation time, 100-ns ticks since 1601-01-01 UTC.
    virtual HRESULT GetCreationTime(int64_t* ticks) noexcept = 0;
    /// size in characters, NUL included; 0x8007007A with the needed size when too small.
    virtual HRESULT GetCallerName(char16_t* buffer, uint32_t* size) noexcept = 0;
    virtual HRESULT GetKind(uint32_t* kind) noexcept = 0;
    virtual HRESULT SetCallerName(const char16_t* name) noexcept = 0;
    virtual HRESULT GetRequestState(IRequestState** state) noexcept = 0;

protected:
    ~IRequestContext() = default;
};

/// Per-thread request contexts ("Core.RequestContextMgr").
struct IRequestContextMgr : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0xd1664fb4, 0x4974, 0x402e, 0x9d54, 0x9388cdf00d2a);
    /// The context of that kind bound to the calling thread, or S_FALSE with null.
    virtual HRESULT GetContext(uint32_t kind, IRequestContext** context) noexcept = 0;
    /// Binds context (may be null) for kind on the calling thread; previous (optional) gets the old one.
    virtual HRESULT SetContext(uint32_t kind, IRequestContext* context, IRequestContext** previous) noexcept = 0;
    /// An independent copy (a fresh context when source is null) that outlives the source's request.
    virtual HRESULT CopyContext(uint32_t value, IRequestContext* source, IRequestContext** copy) noexcept = 0;

protected:
    ~IRequestContextMgr() = default;
};

/// Receives change notifications of the audited data.
struct IDsmChangesSink : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x4ae2cef7, 0xab38, 0x4595, 0x81b9, 0x582f0939a659);
    virtual HRESULT OnModify(IQxNode* change) noexcept = 0;
    virtual HRESULT OnAdded(IQxNode* change) noexcept = 0;
    virtual HRESULT OnRemoved(IQxNode* change) noexcept = 0;

protected:
    ~IDsmChangesSink() = default;
};

/// Source of change notifications; the first five methods let the host publish.
struct IDsmNotifications : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0xcbb8a477, 0xda55, 0x4283, 0xb56c, 0xe3fb49b375bf);
    virtual HRESULT NotifyModified(IQxNode* change) noexcept = 0;
    virtual HRESULT NotifyAdded(IQxNode* change) noexcept = 0;
    virtual HRESULT NotifyRemoved(IQxNode* change) noexcept = 0;
    virtual HRESULT GetSubscriberCount(uint32_t* count) noexcept = 0;
    virtual HRESULT UnsubscribeAll() noexcept = 0;
    /// A sink subscribed twice is notified once; E_POINTER for null.
    virtual HRESULT Subscribe(IDsmChangesSink* sink) noexcept = 0;
    /// 0x80070490 for a sink that is not subscribed.
    virtual HRESULT Unsubscribe(IDsmChangesSink* sink) noexcept = 0;

protected:
    ~IDsmNotifications() = default;
};

}  // namespace cvn
