// ConfigSubscriber against a fake configuration server registered as "ConfigServer.Proxy": the
// subscription request, stopping and failures (delivery in write order: ConfigSubscriberEndToEndTest).
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/ServiceLayer/NamedServices.h"
#include "tests/support/FakeConfigServer.h"
#include "tests/support/ServiceTestSupport.h"

namespace CfgSubscriptionsHelpers {
namespace {

using namespace cvn;
using namespace std::chrono_literals;
using test::CodeOf;
using test::Notification;

constexpr char kPath[] = R"(\Configuration\MonitoringPlans)";

class ConfigSubscriberTest : public testing::Test {
protected:
    // Each call to the user callback as "<path>=<node name>".
    ConfigSubscriber::Callback Record()
    {
        return [this](const std::string& path, const QxNodePtr& node) {
            m_received.Add(path + "=" + (node ? node.GetName() : std::string()));
        };
    }

    ComPtr<CComponentObject<test::FakeConfigServer>> m_server = CreateComponent<test::FakeConfigServer>();
    test::ScopedNamedInstance m_registration{kConfigServerProxyName, m_server.Get()};
    test::Collector m_received;
};

TEST_F(ConfigSubscriberTest, StartSubscribesWithMaskAndOptionsStopUnsubscribesOnceAndStartsAgain)
{
    ConfigSubscriber never(kPath, Record(), 31, 11, 5ms);
    never.Stop();
    EXPECT_EQ(m_server->Unsubscribes(), 0);

    ConfigSubscriber subscriber(kPath, Record(), 31, 11, 5ms);
    subscriber.Start();
    subscriber.Start();  // already subscribed: nothing more
    const auto entries = m_server->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, kPath);
    EXPECT_EQ(entries[0].maxDepth, 0x7FFFFFFF);
    EXPECT_FALSE(entries[0].isParent);
    EXPECT_EQ(entries[0].changesMask, 31);
    EXPECT_EQ(entries[0].subscribeOptions, 11);
    EXPECT_TRUE(entries[0].subscription->IsActive());
    subscriber.Stop();
    subscriber.Stop();
    EXPECT_EQ(m_server->Unsubscribes(), 1);
    EXPECT_TRUE(m_server->Entries().empty());

    subscriber.Start();
    m_server->Notify(false, {Notification(std::string(kPath) + "\\Again", 8)});
    EXPECT_TRUE(m_received.WaitFor(1));
    {
        ConfigSubscriber scoped(kPath, Record(), 31, 11, 5ms);
        scoped.Start();
        EXPECT_EQ(m_server->Entries().size(), 2u);
    }
    EXPECT_EQ(m_server->Entries().size(), 1u);
}

TEST_F(ConfigSubscriberTest, FailedActivationThrowsAndARefusedUnsubscribeIsLoggedAndSwallowed)
{
    // The capture outlives both subscribers, whose publication workers log until they are gone.
    test::LogCapture log;
    m_server->m_activateResult = E_ACCESSDENIED;
    ConfigSubscriber refused(kPath, Record(), 31, 11, 5ms);
    EXPECT_EQ(CodeOf([&] { refused.Start(); }), E_ACCESSDENIED);
    EXPECT_TRUE(m_server->Entries().empty());
    m_server->m_activateResult = S_OK;

    ConfigSubscriber subscriber(kPath, Record(), 31, 11, 5ms);
    subscriber.Start();
    m_server->m_unsubscribeResult = E_ACCESSDENIED;
    subscriber.Stop();
    EXPECT_EQ(log.Count("CfgSubscriptionsHelpers::ConfigSubscriber::DeleteSubscriptions failed: 0x80070005"), 1u);
    subscriber.Stop();  // the subscription was dropped anyway
    EXPECT_EQ(m_server->Unsubscribes(), 2);  // the failed activation's clean-up and the refused one
    m_server->m_unsubscribeResult = S_OK;
}

TEST_F(ConfigSubscriberTest, StopKeepsWhatHasGatheredForThePublication)
{
    ManualClock clock;
    ConfigSubscriber subscriber(kPath, Record(), 31, 11, 1000ms, clock);
    subscriber.Start();
    m_server->Notify(false, {Notification(std::string(kPath) + "\\Gathered", 8)});
    subscriber.Stop();
    EXPECT_TRUE(m_server->Entries().empty());
    EXPECT_TRUE(m_received.Items().empty());
    clock.Advance(1000ms);
    EXPECT_TRUE(m_received.WaitFor(1));
    EXPECT_EQ(m_received.Items(), std::vector<std::string>{std::string(kPath) + "\\Gathered="});
}

TEST_F(ConfigSubscriberTest, NoCallbackAfterDestruction)
{
    std::atomic<bool> gone{false};
    std::atomic<int> calls{0}, lateCalls{0};
    auto subscriber = std::make_unique<ConfigSubscriber>(
        kPath,
        [&](const std::string&, const QxNodePtr&) {
            ++calls;
            if (gone) ++lateCalls;
        },
        31, 11, 1ms);
    subscriber->Start();
    std::atomic<bool> done{false};
    std::thread notifier([&] {
        for (int i = 0; !done; ++i) m_server->Notify(i % 4 == 0, {Notification(kPath, 8)});
    });
    while (calls < 20) std::this_thread::sleep_for(1ms);
    subscriber.reset();
    gone = true;
    std::this_thread::sleep_for(20ms);
    done = true;
    notifier.join();
    EXPECT_EQ(lateCalls, 0);
}

TEST(ConfigSubscriberWithoutServer, StartFailsWithNotFoundAndBadArgumentsAreRefused)
{
    const auto ignore = [](const std::string&, const QxNodePtr&) {};
    ConfigSubscriber subscriber(kPath, ignore, 31, 11);
    EXPECT_EQ(CodeOf([&] { subscriber.Start(); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { ConfigSubscriber empty("", ignore, 31, 11); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { ConfigSubscriber noCallback(kPath, nullptr, 31, 11); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([&] { ConfigSubscriber negative(kPath, ignore, 31, 11, -1ms); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([&] { ConfigSubscriber once(kPath, ignore, 31, 11, uint64_t{0}); }), S_OK);
}

}  // namespace
}  // namespace CfgSubscriptionsHelpers
