// The subscriptions sink: synchronous hand-over, batches per subscription,
// publication outside the lock, and no callback once closed or gone.
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/support/FakeConfigServer.h"
#include "tests/support/ServiceTestSupport.h"

namespace CfgSubscriptionsHelpers {
namespace {

using namespace cvn;
using namespace std::chrono_literals;
using test::Notification;

constexpr auto kNever = std::chrono::milliseconds(24h);  // publication only when a test asks for it
using test::kWaitLimit;

using Sink = CComponentObject<CConfigSubscriptionsSink>;

// A sink whose calls the collector keeps as "batch <id>: <path>,<path>" and "single <id>: <path>".
ComPtr<Sink> MakeSink(test::Collector& calls)
{
    return CreateComponent<CConfigSubscriptionsSink>(
        kNever,
        [&calls](const GUID& id, CConfigSubscriptionsSink::TModifications&& modifications) {
            std::string call = "batch " + std::to_string(id.Data1) + ":";
            for (const auto& modification : modifications) call += (call.back() == ':' ? " " : ",") + modification.path;
            calls.Add(call);
        },
        [&calls](const GUID& id, const std::string& path, const QxNodePtr&) {
            calls.Add("single " + std::to_string(id.Data1) + ": " + path);
        });
}

ComPtr<CComponentObject<test::FakeSubscription>> Subscription(uint32_t n)
{
    return CreateComponent<test::FakeSubscription>(MakeGuid(n, 0, 0, 0, 0), S_OK);
}

HRESULT Trigger(Sink& sink, IQxModifySubscription* subscription, bool synchronous, std::vector<QxNodePtr> nodes)
{
    return sink.OnTriggered(subscription, synchronous ? 1 : 0, test::Modifications(std::move(nodes)).Get());
}

TEST(ConfigSubscriptionsSink, TenNotificationsWithinAnIntervalArriveAsOneBatchInArrivalOrder)
{
    test::Collector calls;
    auto sink = MakeSink(calls);
    auto subscription = Subscription(1);
    std::string expected = "batch 1:";
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(Trigger(*sink, subscription.Get(), false, {Notification("\\P" + std::to_string(i), 8)}), S_OK);
        expected += (i ? ",\\P" : " \\P") + std::to_string(i);
    }
    EXPECT_TRUE(calls.Items().empty());

    sink->IntPublishModifications();
    sink->IntPublishModifications();  // nothing new, nothing called
    EXPECT_EQ(calls.Items(), std::vector<std::string>{expected});
}

TEST(ConfigSubscriptionsSink, AFailingCallbackDoesNotHoldBackOtherSubscriptions)
{
    std::vector<GUID> published;
    auto sink = CreateComponent<CConfigSubscriptionsSink>(
        kNever,
        [&](const GUID& id, CConfigSubscriptionsSink::TModifications&&) {
            published.push_back(id);
            if (published.size() == 1) ThrowHr(E_ACCESSDENIED);
        },
        [](const GUID&, const std::string&, const QxNodePtr&) {});
    auto first = Subscription(1);
    auto second = Subscription(2);
    Trigger(*sink, second.Get(), false, {Notification("\\B", 8)});
    Trigger(*sink, first.Get(), false, {Notification("\\A", 8)});

    test::LogCapture log;
    sink->IntPublishModifications();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0], MakeGuid(1, 0, 0, 0, 0));  // subscription id order, not arrival order
    EXPECT_EQ(published[1], MakeGuid(2, 0, 0, 0, 0));
    EXPECT_EQ(log.Count("Config modify callback returned error 0x80070005"), 1u);
}

TEST(ConfigSubscriptionsSink, SynchronousNotificationIsHandedOnAtOnceAndBadOnesAndBadArgumentsAreRefused)
{
    test::Collector calls;
    auto sink = MakeSink(calls);
    auto subscription = Subscription(7);
    EXPECT_EQ(Trigger(*sink, subscription.Get(), true, {Notification("\\One", 8)}), S_OK);
    EXPECT_EQ(calls.Items(), std::vector<std::string>{"single 7: \\One"});

    // A synchronous notification must carry exactly one modification; every one needs path and mask.
    // Each refusal is one ERR line, the failure line, and it says what was wrong.
    const QxNodePtr noPath = QxNodePtr::Create("", "Modification");
    noPath.SetAttribute("ChangesMask", int64_t{8});
    const QxNodePtr badMask = Notification("\\A", 8);
    badMask.SetAttribute("ChangesMask", "eight");
    const struct {
        bool synchronous;
        std::vector<QxNodePtr> nodes;
        HRESULT code;
        std::string failure;
    } refused[] = {
        {true,
         {Notification("\\A", 8), Notification("\\B", 8)},
         kHrInvalidData,
         "0x8007000D A synchronous notification must carry one modification, not 2"},
        {true, {}, kHrInvalidData, "0x8007000D A synchronous notification must carry one modification, not 0"},
        {false, {noPath}, kHrNotFound, "0x80070490 Element not found: attribute 'ModifiedNodePath'"},
        {false, {badMask}, kHrInvalidData, "0x8007000D attribute 'ChangesMask' cannot be read as a 64-bit integer"},
    };
    for (const auto& c : refused) {
        test::LogCapture log;
        EXPECT_EQ(Trigger(*sink, subscription.Get(), c.synchronous, c.nodes), c.code) << c.failure;
        const auto errors = log.Matching("| ERR ");
        ASSERT_EQ(errors.size(), 1u) << c.failure;
        EXPECT_NE(errors[0].find("CfgSubscriptionsHelpers::CConfigSubscriptionsSink::OnTriggered failed: " + c.failure),
                  std::string::npos)
            << errors[0];
    }
    EXPECT_EQ(Trigger(*sink, nullptr, false, {Notification("\\A", 8)}), E_POINTER);
    sink->IntPublishModifications();
    EXPECT_EQ(calls.Items().size(), 1u);

    // A zero interval publishes once, at once; a negative one or a missing callback is refused.
    const auto batch = [](const GUID&, CConfigSubscriptionsSink::TModifications&&) {};
    const auto single = [](const GUID&, const std::string&, const QxNodePtr&) {};
    EXPECT_EQ(test::CodeOf([&] { CreateComponent<CConfigSubscriptionsSink>(0ms, batch, single); }), S_OK);
    EXPECT_EQ(test::CodeOf([&] { CreateComponent<CConfigSubscriptionsSink>(uint64_t{0}, batch, single); }), S_OK);
    EXPECT_EQ(test::CodeOf([&] { CreateComponent<CConfigSubscriptionsSink>(-1ms, batch, single); }), E_INVALIDARG);
    EXPECT_EQ(test::CodeOf([&] {
                  CreateComponent<CConfigSubscriptionsSink>(1ms, CConfigSubscriptionsSink::BatchCallback(), single);
              }),
              E_INVALIDARG);
}

TEST(ConfigSubscriptionsSinkConcurrency, PublicationRunsOutsideTheLock)
{
    // The callback waits for a notification sent from another thread; holding the
    // sink's lock meanwhile would block that thread until the wait times out.
    auto subscription = Subscription(1);
    std::atomic<bool> otherThreadGotThrough{false};
    ComPtr<Sink> sink;
    sink = CreateComponent<CConfigSubscriptionsSink>(
        kNever,
        [&](const GUID&, CConfigSubscriptionsSink::TModifications&&) {
            auto other = std::async(std::launch::async, [&] {
                return Trigger(*sink, subscription.Get(), false, {Notification("\\N", 8)});
            });
            otherThreadGotThrough = other.wait_for(kWaitLimit) == std::future_status::ready && other.get() == S_OK;
        },
        [](const GUID&, const std::string&, const QxNodePtr&) {});
    Trigger(*sink, subscription.Get(), false, {Notification("\\First", 8)});
    sink->IntPublishModifications();
    EXPECT_TRUE(otherThreadGotThrough);
}

TEST(ConfigSubscriptionsSinkConcurrency, NoCallbackStartsAfterCloseReturns)
{
    std::atomic<bool> closed{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    const auto check = [&] {
        ++calls;
        if (closed) ++lateCalls;
        std::this_thread::sleep_for(1ms);  // widen the window in which Close must wait
    };
    auto sink = CreateComponent<CConfigSubscriptionsSink>(
        1ms, [&](const GUID&, CConfigSubscriptionsSink::TModifications&&) { check(); },
        [&](const GUID&, const std::string&, const QxNodePtr&) { check(); });
    auto subscription = Subscription(1);
    std::atomic<bool> done{false};
    std::vector<std::thread> notifiers;
    for (int t = 0; t < 2; ++t)
        notifiers.emplace_back([&, t] {
            while (!done) Trigger(*sink, subscription.Get(), t == 0, {Notification("\\A", 8)});
        });
    while (calls < 20) std::this_thread::sleep_for(1ms);
    sink->Close();
    closed = true;
    std::this_thread::sleep_for(20ms);
    done = true;
    for (auto& notifier : notifiers) notifier.join();
    EXPECT_EQ(lateCalls, 0);
}

TEST(ConfigSubscriptionsSinkConcurrency, ACallbackMayCloseOrReleaseItsOwnSink)
{
    std::mutex lock;
    ComPtr<Sink> held;
    std::promise<void> released;
    auto subscription = Subscription(1);
    {
        std::lock_guard guard(lock);
        held = CreateComponent<CConfigSubscriptionsSink>(
            1ms,
            [&](const GUID&, CConfigSubscriptionsSink::TModifications&&) {
                ComPtr<Sink> last;
                {
                    std::lock_guard inner(lock);
                    last = std::move(held);
                }
                if (!last) return;
                last->Close();  // must not wait for itself
                last.Reset();   // the last reference: the sink ends inside its own publication
                released.set_value();
            },
            [](const GUID&, const std::string&, const QxNodePtr&) {});
        Trigger(*held, subscription.Get(), false, {Notification("\\A", 8)});
        Trigger(*held, Subscription(2).Get(), false, {Notification("\\B", 8)});
    }
    EXPECT_EQ(released.get_future().wait_for(kWaitLimit), std::future_status::ready);
}

}  // namespace
}  // namespace CfgSubscriptionsHelpers
