// A configuration server for tests: subscriptions by path, notifications sent to the subscribed sinks, and
// the enumerators it hands them. Thread safety: Notify may run on several threads at once; after
// Unsubscribe returns, the subscription's sink is not called again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn::test {

/// The nodes of one notification; its sequence insists on Prepare(8) and can fail at a chosen position.
class FakeModifyEnum : public Implements<IQxNodeModifyEnum, IQxNodeSequence> {
public:
    explicit FakeModifyEnum(std::vector<QxNodePtr> nodes, int failAt = -1) : m_nodes(std::move(nodes)), m_failAt(failAt) {}
    HRESULT GetNodes(IQxNodeSequence** nodes) noexcept override
    {
        m_next = 0;
        m_prepared = false;
        *nodes = this;
        (*nodes)->AddRef();
        return S_OK;
    }
    HRESULT Prepare(uint32_t flags) noexcept override
    {
        m_prepared = flags == 8;
        return m_prepared ? S_OK : E_INVALIDARG;
    }
    HRESULT Next(IQxNode** node) noexcept override
    {
        *node = nullptr;
        if (!m_prepared) return E_UNEXPECTED;
        if (static_cast<int>(m_next) == m_failAt) return E_ACCESSDENIED;
        if (m_next == m_nodes.size()) return S_FALSE;
        return QxnDuplicateNodeHandle(m_nodes[m_next++].Get(), node);
    }

private:
    std::vector<QxNodePtr> m_nodes;
    int m_failAt;
    size_t m_next = 0;
    bool m_prepared = false;
};

/// A notification node as the server sends it: path, mask and the modified node.
inline QxNodePtr Notification(const std::string& path, int64_t mask, const std::string& nodeText = {})
{
    const QxNodePtr notification = QxNodePtr::Create("", "Modification");
    notification.SetAttribute("ModifiedNodePath", path);
    notification.SetAttribute("ChangesMask", mask);
    if (!nodeText.empty()) notification.AddChild(QxNodePtr::Parse(nodeText));
    return notification;
}

inline ComPtr<IQxNodeModifyEnum> Modifications(std::vector<QxNodePtr> nodes)
{
    // Hand the one reference over: a temporary copy makes g++ 12 see a false use-after-free.
    return ComPtr<IQxNodeModifyEnum>::Attach(CreateComponent<FakeModifyEnum>(std::move(nodes)).Detach());
}

class FakeSubscription : public Implements<IQxModifySubscription> {
public:
    explicit FakeSubscription(const GUID& id, HRESULT activateResult) : m_id(id), m_activateResult(activateResult) {}
    HRESULT Activate() noexcept override
    {
        if (m_activateResult >= 0) m_active = true;
        return m_activateResult;
    }
    HRESULT Deactivate() noexcept override
    {
        m_active = false;
        return S_OK;
    }
    HRESULT GetId(GUID* id) noexcept override
    {
        *id = m_id;
        return S_OK;
    }
    bool IsActive() const { return m_active; }

private:
    GUID m_id;
    HRESULT m_activateResult;
    std::atomic<bool> m_active{false};
};

class FakeConfigServer : public Implements<IConfigSubscriptions> {
public:
    struct Entry {
        ComPtr<CComponentObject<FakeSubscription>> subscription;
        ComPtr<IQxModifySink> sink;
        std::string path;
        int64_t changesMask = 0;
        int64_t subscribeOptions = 0;
        int64_t maxDepth = 0;
        bool isParent = true;
    };

    HRESULT Subscribe(IQxNode* pathFilter, IQxNode* options, IQxModifySink* sink,
                      IQxModifySubscription** subscription) noexcept override
    try {
        const QxNodePtr filter(pathFilter);
        const QxNodePtr config(options);
        if (filter.GetType() != "FilterByPath" || config.GetName() != "SubscribeConfig" || !sink) return E_INVALIDARG;
        Entry entry;
        entry.path = filter.GetRequiredAttribute<std::string>("NodePath");
        entry.maxDepth = filter.GetRequiredAttribute<int64_t>("MaxDepth");
        entry.isParent = filter.GetRequiredAttribute<bool>("IsParent");
        entry.changesMask = config.GetRequiredAttribute<int64_t>("ChangesMask");
        entry.subscribeOptions = config.GetRequiredAttribute<int64_t>("SubscribeOptions");
        entry.sink = ComPtr<IQxModifySink>(sink);
        std::lock_guard guard(m_lock);
        entry.subscription = CreateComponent<FakeSubscription>(
            MakeGuid(0x10000000u + static_cast<uint32_t>(++m_made), 0, 0, 0, 0), m_activateResult.load());
        *subscription = ComPtr<IQxModifySubscription>(entry.subscription).Detach();
        m_entries.push_back(std::move(entry));
        return S_OK;
    }
    CV_CATCH_RETURN("FakeConfigServer::Subscribe")

    HRESULT Unsubscribe(IQxModifySubscription* subscription) noexcept override
    {
        std::unique_lock held(m_lock);
        ++m_unsubscribes;
        if (m_unsubscribeResult < 0) return m_unsubscribeResult;
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (static_cast<IQxModifySubscription*>(it->subscription.Get()) != subscription) continue;
            m_entries.erase(it);
            // Wait for notifications in flight, so that none reaches the sink afterwards.
            m_idle.wait(held, [this] { return m_notifying == 0; });
            return S_OK;
        }
        return kHrNotFound;
    }

    /// Sends the notification nodes to every active subscription; the last sink's answer.
    HRESULT Notify(bool synchronous, const std::vector<QxNodePtr>& nodes)
    {
        std::vector<Entry> targets;
        {
            std::lock_guard guard(m_lock);
            for (const auto& entry : m_entries)
                if (entry.subscription->IsActive()) targets.push_back(entry);
            ++m_notifying;
        }
        HRESULT result = S_OK;
        for (const auto& entry : targets)
            result = entry.sink->OnTriggered(entry.subscription.Get(), synchronous ? 1 : 0, Modifications(nodes).Get());
        {
            std::lock_guard guard(m_lock);
            --m_notifying;
        }
        m_idle.notify_all();
        return result;
    }

    std::vector<Entry> Entries()
    {
        std::lock_guard guard(m_lock);
        return m_entries;
    }
    int Unsubscribes()
    {
        std::lock_guard guard(m_lock);
        return m_unsubscribes;
    }

    std::atomic<HRESULT> m_activateResult{S_OK};
    std::atomic<HRESULT> m_unsubscribeResult{S_OK};

private:
    std::mutex m_lock;
    std::condition_variable m_idle;
    std::vector<Entry> m_entries;
    int m_made = 0;
    int m_unsubscribes = 0;
    int m_notifying = 0;
};

}  // namespace cvn::test
