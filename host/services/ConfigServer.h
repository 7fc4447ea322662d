// The configuration store and server: one node tree read and written by
// backslash path, optionally backed by a file, and subscriptions whose sinks
// hear about every write under the path they follow.
// Thread safety: every method may be called from any thread. Readers share the
// tree's lock; writers hold it alone and queue notifications under it, which a
// single dispatcher thread delivers in write order without any lock held.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "corvane/ServiceInterfaces.h"
#include "host/services/ConfigSubscription.h"
#include "host/services/ConfigTree.h"
#include "host/services/NotificationDispatcher.h"

namespace cvn::host {

class CConfigServer : public Implements<IConfigStorage, IConfigSubscriptions> {
public:
    /// An empty store; with a file, Flush writes it there.
    explicit CConfigServer(std::string file = {});
    ~CConfigServer();

    /// Replaces the whole store by the file's nodes. Throws HRX naming the file, line and column on
    /// bad text; the store is then unchanged. No notifications are sent.
    void Load();
    /// Ends every subscription and the dispatcher thread; later writes notify nobody.
    void Shutdown() noexcept;
    /// Blocks until the notifications of every write made before the call have been delivered
    /// (returns at once when called from a sink).
    void WaitForNotifications();
    const std::string& File() const noexcept { return m_file; }

    /// 0x80070490 when nothing is at the filter's path; with "IsParent" true only its children go.
    HRESULT DeleteNodes(IQxNode* filter, uint32_t flags) noexcept override;
    /// S_FALSE when the store has no file; else the file's failure.
    HRESULT Flush(uint32_t flags) noexcept override;
    /// context must be null; nodes that carry no path ("\" or none) are refused with E_INVALIDARG
    /// and then none of the nodes is written.
    HRESULT WriteNodes(IQxNode* context, uint32_t flags, IQxNode* const* nodes, uint64_t count) noexcept override;
    /// 1 or 0 for a node; with "IsParent" the number of its children.
    HRESULT CountNodes(IQxNode* filter, uint64_t* count) noexcept override;
    /// With "IsParent" true the children of the node at the path fill the slots (0x8007007A and the
    /// needed count in *returned when capacity is short); *returned 0 when the path is absent.
    HRESULT ReadNodes(IQxNode* filter, uint32_t flags, IQxNode** nodes, uint64_t capacity,
                      uint64_t* returned) noexcept override;

    /// E_POINTER for null arguments; E_INVALIDARG for a filter that is not "FilterByPath", options
    /// not named "SubscribeConfig" or a ChangesMask of 0. The subscription starts inactive; with
    /// SubscribeOptionBits::kInitialState its activation delivers the followed node's state first.
    HRESULT Subscribe(IQxNode* pathFilter, IQxNode* options, IQxModifySink* sink,
                      IQxModifySubscription** subscription) noexcept override;
    /// 0x80070490 for a subscription this server did not make or already ended.
    HRESULT Unsubscribe(IQxModifySubscription* subscription) noexcept override;

private:
    using Subscription = ComPtr<CComponentObject<CConfigSubscription>>;
    struct PendingNotification;

    std::vector<Subscription> SubscriptionsSnapshot();
    /// The subscription's ActivateFunction: marks it active under the read lock and returns its initial
    /// state's notification node when it asks for one.
    QxNodePtr ActivateWithState(CConfigSubscription& subscription);
    /// Under the exclusive lock: replaces (after non-null) or removes the node at path and
    /// queues what each subscription sees of it.
    void ApplyAndQueue(const ConfigPath& path, const QxNodePtr& after, std::vector<PendingNotification>& pending);
    void Post(std::vector<PendingNotification>& pending);

    const std::string m_file;
    std::mutex m_fileLock;  // one Load or Flush at a time: they share the temporary file name
    std::shared_mutex m_treeLock;
    ConfigTree m_tree;
    std::mutex m_subscriptionsLock;
    std::vector<Subscription> m_subscriptions;
    NotificationDispatcher m_dispatcher;
};

}  // namespace cvn::host
