// Helpers of the host tests: a recording configuration sink, reading and
// writing the store by path, the error an HRX carries, and the unsubscribe
// rules that every notification source keeps.
// Thread safety: RecordingSink may be called from any thread; the rest belongs
// to the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ServiceInterfaces.h"
#include "tests/support/TestBasics.h"

namespace cvn::host::test {

using cvn::test::kWaitLimit;
using cvn::test::TempDir;
using cvn::test::Tree;

/// One modification as a sink saw it.
struct SeenModification {
    GUID subscriptionId{};
    std::string path;
    uint64_t changesMask = 0;
    QxNodePtr node;
    size_t call = 0;  ///< the sink's call that brought it, from 1
    bool synchronous = false;
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
        if (onCall) onCall(subscription);
        std::lock_guard lock(m_lock);
        ++m_calls;
        for (IQxNode* raw = nullptr; sequence->Next(&raw) == S_OK;) {
            const QxNodePtr node(raw, QxNodePtr::Attach{});
            SeenModification& seen = m_seen.emplace_back();
            seen = {id, "", 0, node.GetChild(uint64_t{0}, false), m_calls, synchronous != 0};
            node.GetAttribute("ModifiedNodePath", seen.path);
            node.GetAttribute("ChangesMask", seen.changesMask);
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

    std::function<void(IQxModifySubscription*)> onCall;  ///< set before subscribing

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<SeenModification> m_seen;
    size_t m_calls = 0;
};

/// A copy of text's node placed at path (name kind 2), as the module writes configuration.
inline QxNodePtr AtPath(std::string_view path, std::string_view text)
{
    QxNodePtr node = Tree(text);
    node.SetName(QXN_NAME_PATH, path);
    return node;
}

inline HRESULT Write(IConfigStorage* store, const QxNodePtr& node)
{
    IQxNode* handle = node.Get();
    return store->WriteNodes(nullptr, 0, &handle, 1);
}

/// The node at path (to depth), or null.
inline QxNodePtr Read(IConfigStorage* store, std::string_view path, bool isParent = false,
                      int32_t depth = QXN_DEPTH_ALL)
{
    const QxNodePtr filter = MakePathFilterNode(path, depth, isParent);
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

/// The node's whole text form, "(null)" for none.
inline std::string TextOf(const QxNodePtr& node) { return node ? node.ToText() : std::string("(null)"); }

/// The code and error text ("0x%08X description") of the HRX that call throws; S_OK and "" when none.
struct Thrown {
    HRESULT code = S_OK;
    std::string text;
};
template <class Call>
Thrown ThrownBy(Call&& call)
{
    try {
        call();
    } catch (const HRX& error) {
        return {error.Code(), ErrorText(error)};
    }
    return {};
}

/// A callback a test installs into a sink, to run at the start of every call.
using InstallCallback = std::function<void(std::function<void()>)>;

/// Unsubscribe, started while a callback runs, returns only after that callback has ended.
/// deliver makes one call reach the sink (it may block until the call returns).
inline void ExpectUnsubscribeWaitsForTheRunningCallback(const InstallCallback& install,
                                                        const std::function<void()>& deliver,
                                                        const std::function<HRESULT()>& unsubscribe)
{
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> unsubscribeReturned{false}, returnedDuringCallback{false};
    std::once_flag once;
    install([&] {
        std::call_once(once, [&] { entered.set_value(); });
        released.wait_for(kWaitLimit);
        returnedDuringCallback = returnedDuringCallback || unsubscribeReturned;
    });
    std::thread deliverer(deliver);
    const bool inside = entered.get_future().wait_for(kWaitLimit) == std::future_status::ready;
    EXPECT_TRUE(inside) << "no callback came";
    std::thread unsubscriber([&] {
        EXPECT_EQ(S_OK, unsubscribe());
        unsubscribeReturned = true;
    });
    // Give a wrong Unsubscribe the chance to return while the callback still runs.
    for (int i = 0; i < 100 && inside && !unsubscribeReturned; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release.set_value();
    unsubscriber.join();
    deliverer.join();
    EXPECT_FALSE(returnedDuringCallback.load());
}

/// No callback starts after Unsubscribe returned, while publishers keep delivering on other threads.
/// drain waits until every queued delivery is done.
inline void ExpectNoCallAfterUnsubscribeReturns(const InstallCallback& install, const std::function<void()>& publish,
                                                int publishers, const std::function<HRESULT()>& unsubscribe,
                                                const std::function<void()>& drain = [] {})
{
    std::atomic<int> calls{0}, lateCalls{0};
    std::atomic<bool> unsubscribeReturned{false}, stop{false};
    install([&] {
        ++calls;
        if (unsubscribeReturned) ++lateCalls;
        std::this_thread::yield();  // widens the window in which Unsubscribe must wait for a running call
    });
    std::vector<std::thread> threads;
    for (int p = 0; p < publishers; ++p)
        threads.emplace_back([&] {
            while (!stop) publish();
        });
    EXPECT_TRUE(cvn::test::WaitUntil([&] { return calls >= 20; })) << "too few calls came";
    EXPECT_EQ(S_OK, unsubscribe());
    unsubscribeReturned = true;
    const int callsAtUnsubscribe = calls;
    for (int i = 0; i < 50; ++i) publish();  // keep publishing after it
    stop = true;
    for (std::thread& thread : threads) thread.join();
    drain();
    EXPECT_EQ(0, lateCalls.load());
    EXPECT_EQ(callsAtUnsubscribe, calls.load());
}

}  // namespace cvn::host::test
