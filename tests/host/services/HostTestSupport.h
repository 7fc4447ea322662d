// Helpers of the host services tests: a recording configuration sink, node
// text fixtures, and reading and writing the store by path.
// Thread safety: RecordingSink may be called from any thread; the rest belongs
// to the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Components/ComponentObject.h"
#include "NodeAccess/QxNodePtr.h"
#include "corvane/ServiceInterfaces.h"

namespace corvane::host::test {

inline constexpr auto kWaitLimit = std::chrono::seconds(20);

/// One modification as a sink saw it.
struct SeenModification {
    GUID subscriptionId{};
    std::string path;
    uint64_t changesMask = 0;
    QxNodePtr node;
};

class RecordingSink : public Implements<IQxModifySink> {
public:
    HRESULT OnTriggered(IQxModifySubscription* subscription, int32_t synchronous,
                        IQxNodeModifyEnum* modifications) noexcept override
    {
        GUID id{};
        subscription->GetId(&id);
        ComPtr<IQxNodeSequence> sequence;
        if (Failed(modifications->GetNodes(sequence.Put()))) return E_FAIL;
        sequence->Prepare(8);
        std::vector<SeenModification> batch;
        IQxNode* raw = nullptr;
        while (sequence->Next(&raw) == S_OK) {
            const QxNodePtr node(raw, QxNodePtr::Attach{});
            SeenModification seen;
            seen.subscriptionId = id;
            node.GetAttribute("ModifiedNodePath", seen.path);
            node.GetAttribute("ChangesMask", seen.changesMask);
            seen.node = node.GetChild(uint64_t{0}, false);
            batch.push_back(std::move(seen));
        }
        if (onCall) onCall(subscription);
        {
            std::lock_guard lock(m_lock);
            m_synchronousSeen |= synchronous != 0;
            ++m_calls;
            for (SeenModification& seen : batch) m_seen.push_back(std::move(seen));
        }
        m_changed.notify_all();
        return S_OK;
    }

    /// Waits until count modifications have arrived; false after kWaitLimit.
    bool WaitForCount(size_t count)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kWaitLimit, [&] { return m_seen.size() >= count; });
    }
    std::vector<SeenModification> Seen()
    {
        std::lock_guard lock(m_lock);
        return m_seen;
    }
    size_t Calls()
    {
        std::lock_guard lock(m_lock);
        return m_calls;
    }

    bool SawSynchronous()
    {
        std::lock_guard lock(m_lock);
        return m_synchronousSeen;
    }

    std::function<void(IQxModifySubscription*)> onCall;  ///< set before subscribing

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<SeenModification> m_seen;
    size_t m_calls = 0;
    bool m_synchronousSeen = false;
};

/// The single node of a text fixture.
inline QxNodePtr Node(std::string_view text) { return QxNodePtr::Parse(text); }

/// A copy of text's node placed at path (name kind 2), as the module writes configuration.
inline QxNodePtr AtPath(std::string_view path, std::string_view text)
{
    QxNodePtr node = Node(text);
    node.SetName(QXN_NAME_PATH, path);
    return node;
}

inline HRESULT Write(IConfigStorage* store, const QxNodePtr& node)
{
    IQxNode* handle = node.Get();
    return store->WriteNodes(nullptr, 0, &handle, 1);
}

/// The node at path, or null.
inline QxNodePtr Read(IConfigStorage* store, std::string_view path, bool isParent = false)
{
    const QxNodePtr filter = MakePathFilterNode(path, QXN_DEPTH_ALL, isParent);
    IQxNode* nodes[1] = {nullptr};
    uint64_t returned = 0;
    EXPECT_EQ(S_OK, store->ReadNodes(filter.Get(), 0, nodes, 1, &returned));
    return returned == 1 ? QxNodePtr(nodes[0], QxNodePtr::Attach{}) : QxNodePtr();
}

/// Subscribes sink to path with the mask and activates the subscription.
inline ComPtr<IQxModifySubscription> Follow(IConfigSubscriptions* server, std::string_view path,
                                            IQxModifySink* sink, uint64_t changesMask = 31)
{
    const QxNodePtr filter = MakePathFilterNode(path);
    const QxNodePtr options = QxNodePtr::Create("SubscribeConfig");
    options.SetAttribute("ChangesMask", changesMask);
    options.SetAttribute("SubscribeOptions", uint64_t{11});
    ComPtr<IQxModifySubscription> subscription;
    EXPECT_EQ(S_OK, server->Subscribe(filter.Get(), options.Get(), sink, subscription.Put()));
    if (subscription) {
        EXPECT_EQ(S_OK, subscription->Activate());
    }
    return subscription;
}

/// The node's text without the wrapper's indentation differences mattering: its whole text form.
inline std::string TextOf(const QxNodePtr& node) { return node ? node.ToText() : std::string("(null)"); }

}  // namespace corvane::host::test
