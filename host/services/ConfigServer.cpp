// The configuration store and server.
#include "host/services/ConfigServer.h"

#include <algorithm>
#include <optional>

#include "common/ErrorHandling/ErrorObjects.h"
#include "host/services/ConfigChanges.h"
#include "host/services/ConfigFile.h"
#include "host/services/NodeModifyEnum.h"

namespace cvn::host {

namespace {

struct PathFilter {
    ConfigPath path;
    bool isParent = false;
    int32_t depth = QXN_DEPTH_ALL;
};

PathFilter ReadPathFilter(IQxNode* filter)
{
    ThrowIf(!filter, E_POINTER, "no path filter node was given");
    const QxNodePtr node(filter);
    const std::string type = node.GetType();
    if (type != "FilterByPath")
        ThrowHrWithDescription(E_INVALIDARG, "the path filter node has type '" + type + "', not 'FilterByPath'");
    std::string path;
    ThrowIf(!node.GetAttribute("NodePath", path), kHrNotFound, "the path filter node has no \"NodePath\" attribute");
    PathFilter result;
    result.path = SplitConfigPath(path);
    result.isParent = node.GetAttributeOr("IsParent", false);
    const int64_t maxDepth = node.GetAttributeOr<int64_t>("MaxDepth", QXN_DEPTH_ALL);
    if (maxDepth < 0)
        ThrowHrWithDescription(E_INVALIDARG, "the path filter's \"MaxDepth\" " + std::to_string(maxDepth) +
                                                 " is negative");
    result.depth = static_cast<int32_t>(std::min<int64_t>(maxDepth, QXN_DEPTH_ALL));
    return result;
}

QxNodePtr Descend(QxNodePtr node, const ConfigPath& path, size_t from)
{
    for (size_t i = from; node && i < path.size(); ++i) node = node.GetChild(path[i], false);
    return node;
}

}  // namespace

struct CConfigServer::PendingNotification {
    Subscription subscription;
    uint64_t activation = 0;  ///< the subscription's activation the write was made under
    std::vector<QxNodePtr> nodes;
};

CConfigServer::CConfigServer(std::string file) : m_file(std::move(file)) {}

CConfigServer::~CConfigServer() { Shutdown(); }

void CConfigServer::Load()
{
    ThrowIf(m_file.empty(), E_INVALIDARG, "the configuration store has no file to load");
    std::lock_guard fileLock(m_fileLock);
    // Released after the handles below, which end up inside the tree.
    std::unique_lock lock(m_treeLock, std::defer_lock);
    std::vector<QxNodePtr> nodes = LoadConfigFile(m_file);
    lock.lock();
    m_tree.Reset(nodes);
}

void CConfigServer::Shutdown() noexcept
{
    std::vector<Subscription> ended;
    {
        std::lock_guard lock(m_subscriptionsLock);
        ended.swap(m_subscriptions);
    }
    for (const Subscription& subscription : ended) subscription->End();
    m_dispatcher.Stop();
}

void CConfigServer::WaitForNotifications() { m_dispatcher.WaitIdle(); }

std::vector<CConfigServer::Subscription> CConfigServer::SubscriptionsSnapshot()
{
    std::lock_guard lock(m_subscriptionsLock);
    return m_subscriptions;
}

void CConfigServer::ApplyAndQueue(const ConfigPath& path, const QxNodePtr& after,
                                  std::vector<PendingNotification>& pending)
{
    const QxNodePtr before = after ? m_tree.Replace(path, after) : m_tree.Remove(path);
    if (!before && !after) return;
    const std::string pathText = JoinConfigPath(path);
    std::optional<uint64_t> changesAtPath;

    for (const Subscription& subscription : SubscriptionsSnapshot()) {
        const uint64_t activation = subscription->Activation();
        if (activation == 0) continue;
        const ConfigPath& followed = subscription->Path();
        uint64_t mask = 0;
        QxNodePtr node;
        std::string modifiedPath;
        if (IsSameOrAncestor(followed, path)) {
            if (!changesAtPath) changesAtPath = ChangesBetween(before, after);
            mask = *changesAtPath | (path.size() > followed.size() ? ChangeBits::kSubtree : 0);
            node = after ? after : before;
            modifiedPath = pathText;
        } else if (IsSameOrAncestor(path, followed)) {
            // A write above the followed node replaces it too.
            const QxNodePtr oldNode = Descend(before, followed, path.size());
            const QxNodePtr newNode = Descend(after, followed, path.size());
            mask = ChangesBetween(oldNode, newNode);
            node = newNode ? newNode : oldNode;
            modifiedPath = JoinConfigPath(followed);
        }
        if ((mask & subscription->ChangesMask()) == 0) continue;

        auto entry = std::find_if(pending.begin(), pending.end(),
                                  [&](const PendingNotification& p) { return p.subscription.Get() == subscription.Get(); });
        if (entry == pending.end())
            entry = pending.insert(pending.end(), PendingNotification{subscription, activation, {}});
        entry->nodes.push_back(MakeModificationNode(modifiedPath, mask, node, subscription->Depth()));
    }
}

void CConfigServer::Post(std::vector<PendingNotification>& pending)
{
    for (PendingNotification& entry : pending) {
        ComPtr<IQxNodeModifyEnum> modifications(CreateComponent<CNodeModifyEnum>(std::move(entry.nodes)));
        m_dispatcher.Post([subscription = entry.subscription, activation = entry.activation, modifications] {
            subscription->Deliver(modifications.Get(), activation);
        });
    }
}

HRESULT CConfigServer::DeleteNodes(IQxNode* filter, uint32_t) noexcept
try {
    const PathFilter request = ReadPathFilter(filter);
    std::vector<PendingNotification> pending;
    std::unique_lock lock(m_treeLock);
    const QxNodePtr node = m_tree.Find(request.path);
    if (!node) ThrowHrWithDescription(kHrNotFound, "nothing is stored at '" + JoinConfigPath(request.path) + "'");
    if (request.isParent) {
        // As for reads, "IsParent" addresses the children; the node itself stays.
        for (const QxNodePtr& child : node.GetChildren()) {
            ConfigPath childPath = request.path;
            childPath.push_back(child.GetName());
            ApplyAndQueue(childPath, nullptr, pending);
        }
    } else {
        ThrowIf(request.path.empty(), E_INVALIDARG, "the configuration root cannot be deleted");
        ApplyAndQueue(request.path, nullptr, pending);
    }
    // Posting under the lock keeps each subscription's notifications in write order.
    Post(pending);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CConfigServer::Flush(uint32_t) noexcept
try {
    if (m_file.empty()) return S_FALSE;
    std::lock_guard fileLock(m_fileLock);
    std::vector<QxNodePtr> copies;
    {
        std::shared_lock lock(m_treeLock);
        for (const QxNodePtr& node : m_tree.Root().GetChildren()) copies.push_back(node.Clone());
    }
    SaveConfigFile(m_file, copies);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CConfigServer::WriteNodes(IQxNode* context, uint32_t, IQxNode* const* nodes, uint64_t count) noexcept
try {
    ThrowIf(context, E_INVALIDARG, "WriteNodes takes no context node");
    if (count > 0 && !nodes) return E_POINTER;
    // Declared first so that it is released last: the copies join the tree, and a handle into
    // the tree may only be closed under its lock.
    std::unique_lock lock(m_treeLock, std::defer_lock);
    // Every node is checked and copied before anything is written.
    std::vector<std::pair<ConfigPath, QxNodePtr>> writes;
    for (uint64_t i = 0; i < count; ++i) {
        if (!nodes[i]) ThrowHrWithDescription(E_POINTER, "node " + std::to_string(i) + " of the write is null");
        const QxNodePtr node(nodes[i]);
        const std::string pathText = node.GetPath();
        ConfigPath path = pathText.empty() ? ConfigPath{} : SplitConfigPath(pathText);
        if (path.empty())
            ThrowHrWithDescription(E_INVALIDARG, "node " + std::to_string(i) +
                                                     " of the write carries no path; place it by its full path first");
        writes.emplace_back(std::move(path), node.Clone());
    }
    std::vector<PendingNotification> pending;
    lock.lock();
    for (const auto& [path, copy] : writes) ApplyAndQueue(path, copy, pending);
    Post(pending);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CConfigServer::CountNodes(IQxNode* filter, uint64_t* count) noexcept
try {
    if (!count) return E_POINTER;
    *count = 0;
    const PathFilter request = ReadPathFilter(filter);
    std::shared_lock lock(m_treeLock);
    const QxNodePtr node = m_tree.Find(request.path);
    if (node) *count = request.isParent ? node.GetChildCount() : 1;
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CConfigServer::ReadNodes(IQxNode* filter, uint32_t, IQxNode** nodes, uint64_t capacity,
                                 uint64_t* returned) noexcept
try {
    if (!returned || (capacity > 0 && !nodes)) return E_POINTER;
    *returned = 0;
    const PathFilter request = ReadPathFilter(filter);
    std::vector<QxNodePtr> copies;
    {
        std::shared_lock lock(m_treeLock);
        const QxNodePtr node = m_tree.Find(request.path);
        if (!node) return S_OK;
        const std::vector<QxNodePtr> found = request.isParent ? node.GetChildren() : std::vector<QxNodePtr>{node};
        if (found.size() > capacity) {
            *returned = found.size();
            return kHrInsufficientBuffer;
        }
        for (const QxNodePtr& item : found) copies.push_back(item.Clone(request.depth));
    }
    for (size_t i = 0; i < copies.size(); ++i) nodes[i] = copies[i].Detach();
    *returned = copies.size();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CConfigServer::Subscribe(IQxNode* pathFilter, IQxNode* options, IQxModifySink* sink,
                                 IQxModifySubscription** subscription) noexcept
try {
    if (!subscription || !sink) return E_POINTER;
    *subscription = nullptr;
    const PathFilter request = ReadPathFilter(pathFilter);
    uint64_t changesMask = ChangeBits::kAll;
    uint64_t subscribeOptions = 0;
    if (options) {
        const QxNodePtr node(options);
        const std::string name = node.GetName();
        if (name != "SubscribeConfig")
            ThrowHrWithDescription(E_INVALIDARG, "the subscription options node is named '" + name +
                                                     "', not 'SubscribeConfig'");
        changesMask = node.GetAttributeOr<uint64_t>("ChangesMask", ChangeBits::kAll);
        subscribeOptions = node.GetAttributeOr<uint64_t>("SubscribeOptions", 0);
        ThrowIf(changesMask == 0, E_INVALIDARG, "\"ChangesMask\" 0 selects no change to notify");
    }
    // The subscription calls back only while it has not ended, and Shutdown ends it before this goes.
    Subscription created = CreateComponent<CConfigSubscription>(
        request.path, changesMask, subscribeOptions, request.depth, ComPtr<IQxModifySink>(sink),
        [this](CConfigSubscription& subscription) { return ActivateWithState(subscription); });
    {
        std::lock_guard lock(m_subscriptionsLock);
        m_subscriptions.push_back(created);
    }
    *subscription = created.Detach();
    return S_OK;
}
CV_CATCH_RETURN()

QxNodePtr CConfigServer::ActivateWithState(CConfigSubscription& subscription)
{
    // Under the read lock no write is half made: each lands either in the state read here or in a
    // notification queued after the activation, which waits for this state to be delivered.
    std::shared_lock lock(m_treeLock);
    subscription.MarkActive();
    if ((subscription.Options() & SubscribeOptionBits::kInitialState) == 0) return {};
    const QxNodePtr node = m_tree.Find(subscription.Path());
    // As a write that creates the node would report it.
    const uint64_t mask = ChangesBetween(nullptr, node);
    if ((mask & subscription.ChangesMask()) == 0) return {};
    return MakeModificationNode(JoinConfigPath(subscription.Path()), mask, node, subscription.Depth());
}

HRESULT CConfigServer::Unsubscribe(IQxModifySubscription* subscription) noexcept
try {
    if (!subscription) return E_POINTER;
    Subscription ended;
    {
        std::lock_guard lock(m_subscriptionsLock);
        const auto found = std::find_if(m_subscriptions.begin(), m_subscriptions.end(), [&](const Subscription& s) {
            return static_cast<IQxModifySubscription*>(s.Get()) == subscription;
        });
        if (found != m_subscriptions.end()) {
            ended = std::move(*found);
            m_subscriptions.erase(found);
        }
    }
    ThrowIf(!ended, kHrNotFound, "the subscription is not active at this configuration server");
    ended->End();
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace cvn::host
