// Subscriptions at the configuration server: what a subscriber hears of each
// write, in which order, and that nothing arrives after unsubscribing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/services/ConfigChanges.h"
#include "host/services/ConfigServer.h"
#include "tests/support/HostTestSupport.h"

namespace cvn::host::test {
namespace {

constexpr const char* kPlan = R"(<nr><node Enabled:bool="true"><Target q:name="T" Host="db1"/></node></nr>)";

class ConfigSubscriptionTest : public ::testing::Test {
protected:
    ComPtr<CComponentObject<CConfigServer>> m_server = CreateComponent<CConfigServer>();
    ComPtr<CComponentObject<RecordingSink>> m_sink = CreateComponent<RecordingSink>();
    const InstallCallback m_onEachCall = [this](auto call) { m_sink->onCall = [call](auto*) { call(); }; };

    std::vector<SeenModification> SeenAfterIdle()
    {
        m_server->WaitForNotifications();
        return m_sink->Seen();
    }
};

TEST_F(ConfigSubscriptionTest, NodesOfOneWriteBelowTheFollowedPathArriveInOneCallWithPathMaskAndNode)
{
    const auto subscription = Follow(m_server.Get(), "\\Plans", m_sink.Get());
    const QxNodePtr a = AtPath("\\Plans\\P1", kPlan), b = AtPath("\\Plans\\P2", "<nr><node/></nr>");
    IQxNode* nodes[2] = {a.Get(), b.Get()};
    ASSERT_EQ(S_OK, m_server->WriteNodes(nullptr, 0, nodes, 2));

    ASSERT_TRUE(m_sink->WaitForCount(2));
    const std::vector<SeenModification> seen = SeenAfterIdle();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(1u, seen[1].call) << "one write, one call";
    GUID id{};
    subscription->GetId(&id);
    EXPECT_EQ(id, seen[0].subscriptionId);
    EXPECT_EQ("\\Plans\\P1", seen[0].path);
    EXPECT_EQ(ChangeBits::kAdded | ChangeBits::kSubtree | ChangeBits::kAttributes, seen[0].changesMask);
    ASSERT_TRUE(seen[0].node);
    EXPECT_EQ("P1", seen[0].node.GetName());
    EXPECT_EQ("db1", seen[0].node.GetChild("T").GetAttributeOr("Host", ""));
    EXPECT_EQ("\\Plans\\P2", seen[1].path);
    EXPECT_FALSE(seen[0].synchronous);
}

TEST_F(ConfigSubscriptionTest, MaskTellsAttributeChangesFromChildChangesAtTheFollowedNode)
{
    Write(m_server.Get(), AtPath("\\Plans\\P1", kPlan));
    const auto subscription = Follow(m_server.Get(), "\\Plans\\P1", m_sink.Get());
    // 24: children and attributes, as the live monitoring plans follow; an identical rewrite is not heard.
    auto selective = CreateComponent<RecordingSink>();
    const auto selectiveSubscription = Follow(m_server.Get(), "\\Plans\\P1", selective.Get(), 24);

    for (const char* host : {"db1", "db2", "db2"})
        Write(m_server.Get(), AtPath("\\Plans\\P1", std::string(R"(<nr><node Enabled:bool="false"><Target q:name="T" Host=")") +
                                                        host + "\"/></node></nr>"));
    m_server->DeleteNodes(MakePathFilterNode("\\Plans\\P1").Get(), 0);

    // The first is the state at activation, reported as the node's creation.
    const std::vector<SeenModification> seen = SeenAfterIdle();
    ASSERT_EQ(5u, seen.size());
    EXPECT_EQ(ChangeBits::kAdded | ChangeBits::kSubtree | ChangeBits::kAttributes, seen[0].changesMask);
    EXPECT_EQ(ChangeBits::kModified | ChangeBits::kAttributes, seen[1].changesMask);
    EXPECT_EQ(ChangeBits::kModified | ChangeBits::kSubtree, seen[2].changesMask);
    EXPECT_EQ(ChangeBits::kModified, seen[3].changesMask) << "an identical rewrite changes nothing but is heard";
    EXPECT_EQ(ChangeBits::kRemoved | ChangeBits::kSubtree | ChangeBits::kAttributes, seen[4].changesMask);
    ASSERT_TRUE(seen[4].node) << "a removal carries the node's last content";
    EXPECT_EQ("db2", seen[4].node.GetChild("T").GetAttributeOr("Host", ""));
    const std::vector<SeenModification> selected = selective->Seen();
    ASSERT_EQ(4u, selected.size());
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[i == 3 ? 4 : i].changesMask, selected[i].changesMask) << i;
}

TEST_F(ConfigSubscriptionTest, WriteAboveTheFollowedPathReportsTheFollowedNode)
{
    Write(m_server.Get(), AtPath("\\Plans\\P1", kPlan));
    const auto subscription = Follow(m_server.Get(), "\\Plans\\P1\\T", m_sink.Get());

    Write(m_server.Get(), AtPath("\\Plans", R"(<nr><node><node q:name="P1"><Target q:name="T" Host="db9"/></node></node></nr>)"));
    Write(m_server.Get(), AtPath("\\Plans", R"(<nr><node><node q:name="P2"/></node></nr>)"));
    Write(m_server.Get(), AtPath("\\Other", "<nr><node/></nr>"));

    const std::vector<SeenModification> seen = SeenAfterIdle();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ("db1", seen[0].node.GetAttributeOr("Host", "")) << "the state at activation";
    EXPECT_EQ("\\Plans\\P1\\T", seen[1].path);
    EXPECT_EQ(ChangeBits::kModified | ChangeBits::kAttributes, seen[1].changesMask);
    EXPECT_EQ("db9", seen[1].node.GetAttributeOr("Host", ""));
    EXPECT_EQ("\\Plans\\P1\\T", seen[2].path);
    EXPECT_EQ(ChangeBits::kRemoved | ChangeBits::kAttributes, seen[2].changesMask);
}

/// Subscribes without activating.
ComPtr<IQxModifySubscription> Subscribe(IConfigSubscriptions* server, std::string_view path, IQxModifySink* sink,
                                        uint64_t options, uint64_t changesMask = 31)
{
    const QxNodePtr config = QxNodePtr::Create("SubscribeConfig");
    config.SetAttribute("ChangesMask", changesMask);
    config.SetAttribute("SubscribeOptions", options);
    ComPtr<IQxModifySubscription> subscription;
    EXPECT_EQ(S_OK, server->Subscribe(MakePathFilterNode(path).Get(), config.Get(), sink, subscription.Put()));
    return subscription;
}

TEST_F(ConfigSubscriptionTest, ActivationAskingForTheStateHearsItBeforeReturningAndOnlyWhenThereIsSomethingToHear)
{
    Write(m_server.Get(), AtPath("\\Plans\\P1", kPlan));
    Write(m_server.Get(), AtPath("\\Plans\\Bare", "<nr><node/></nr>"));
    m_server->WaitForNotifications();
    struct Case {
        const char* path;
        uint64_t options;
        uint64_t changesMask;
        bool heard;
    } const cases[] = {
        {"\\Plans\\P1", 11, 31, true},
        {"\\Plans\\P1", SubscribeOptionBits::kInitialState, 24, true},
        {"\\Plans\\P1", 10, 31, false},       // not asked for
        {"\\Plans\\Missing", 11, 31, false},  // nothing there
        {"\\Plans\\Bare", 11, 24, false},     // no children nor attributes to report
    };
    for (const Case& c : cases) {
        auto sink = CreateComponent<RecordingSink>();
        const auto subscription = Subscribe(m_server.Get(), c.path, sink.Get(), c.options, c.changesMask);
        ASSERT_EQ(S_OK, subscription->Activate());
        const std::vector<SeenModification> seen = sink->Seen();  // no waiting: it came with Activate
        ASSERT_EQ(c.heard ? 1u : 0u, seen.size()) << c.path << " " << c.options;
        EXPECT_EQ(S_OK, subscription->Activate()) << "an active subscription is left as it is";
        if (!c.heard) continue;
        EXPECT_TRUE(seen[0].synchronous);
        EXPECT_EQ(c.path, seen[0].path);
        EXPECT_EQ(ChangeBits::kAdded | ChangeBits::kSubtree | ChangeBits::kAttributes, seen[0].changesMask);
        EXPECT_EQ("db1", seen[0].node.GetChild("T").GetAttributeOr("Host", ""));
        EXPECT_EQ(1u, sink->Seen().size()) << "heard once";
    }
}

TEST_F(ConfigSubscriptionTest, InactiveSubscriptionHearsNothingUntilActivated)
{
    ComPtr<IQxModifySubscription> subscription;
    ASSERT_EQ(S_OK, m_server->Subscribe(MakePathFilterNode("\\S").Get(), nullptr, m_sink.Get(), subscription.Put()));
    Write(m_server.Get(), AtPath("\\S\\Before", "<nr><node/></nr>"));
    subscription->Activate();
    Write(m_server.Get(), AtPath("\\S\\After", "<nr><node/></nr>"));
    m_server->WaitForNotifications();
    subscription->Deactivate();
    Write(m_server.Get(), AtPath("\\S\\Paused", "<nr><node/></nr>"));

    const std::vector<SeenModification> seen = SeenAfterIdle();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("\\S\\After", seen[0].path);
}

TEST_F(ConfigSubscriptionTest, BadRequestsAreRefusedAndUnsubscribeEndsTheSubscriptionOnce)
{
    ComPtr<IQxModifySubscription> refused;
    const QxNodePtr filter = MakePathFilterNode("\\S");
    const QxNodePtr misnamed = Tree(R"(<nr><node q:name="Options" ChangesMask:i64="31"/></nr>)");
    EXPECT_EQ(E_INVALIDARG, m_server->Subscribe(filter.Get(), misnamed.Get(), m_sink.Get(), refused.Put()));
    const QxNodePtr noChanges = Tree(R"(<nr><node q:name="SubscribeConfig" ChangesMask:i64="0"/></nr>)");
    EXPECT_EQ(E_INVALIDARG, m_server->Subscribe(filter.Get(), noChanges.Get(), m_sink.Get(), refused.Put()));
    EXPECT_EQ(E_POINTER, m_server->Subscribe(filter.Get(), nullptr, nullptr, refused.Put()));
    EXPECT_FALSE(refused);

    const auto subscription = Follow(m_server.Get(), "\\S", m_sink.Get());
    EXPECT_EQ(S_OK, m_server->Unsubscribe(subscription.Get()));
    EXPECT_EQ(kHrNotFound, m_server->Unsubscribe(subscription.Get()));
    EXPECT_EQ(static_cast<HRESULT>(0x8000000E), subscription->Activate());
    Write(m_server.Get(), AtPath("\\S\\A", "<nr><node/></nr>"));
    EXPECT_TRUE(SeenAfterIdle().empty());
    auto other = CreateComponent<CConfigServer>();
    EXPECT_EQ(kHrNotFound, m_server->Unsubscribe(Follow(other.Get(), "\\S", m_sink.Get()).Get()));
}

TEST_F(ConfigSubscriptionTest, SinkMayUnsubscribeAndWriteFromInsideItsCallback)
{
    ComPtr<IQxModifySubscription> subscription;
    std::atomic<HRESULT> unsubscribed{E_FAIL};
    std::atomic<HRESULT> written{E_FAIL};
    m_sink->onCall = [&](IQxModifySubscription* self) {
        written = Write(m_server.Get(), AtPath("\\Elsewhere\\Echo", "<nr><node/></nr>"));
        unsubscribed = m_server->Unsubscribe(self);
    };
    subscription = Follow(m_server.Get(), "\\S", m_sink.Get());
    Write(m_server.Get(), AtPath("\\S\\A", "<nr><node/></nr>"));
    ASSERT_TRUE(m_sink->WaitForCount(1));
    Write(m_server.Get(), AtPath("\\S\\B", "<nr><node/></nr>"));

    EXPECT_EQ(1u, SeenAfterIdle().size());
    EXPECT_EQ(S_OK, written.load());
    EXPECT_EQ(S_OK, unsubscribed.load());
    EXPECT_TRUE(Read(m_server.Get(), "\\Elsewhere\\Echo"));
}

// Concurrency rules, also run under ThreadSanitizer.

TEST_F(ConfigSubscriptionTest, NotificationsOfEachSubscriptionArriveInWriteOrder)
{
    const auto first = Follow(m_server.Get(), "\\Counter", m_sink.Get());
    auto otherSink = CreateComponent<RecordingSink>();
    const auto second = Follow(m_server.Get(), "\\Counter\\Value", otherSink.Get());
    constexpr int kWriters = 4;
    constexpr int kWritesEach = 50;

    // Each writer writes its own increasing sequence; both subscribers must see every
    // writer's values in increasing order.
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kWritesEach; ++i) {
                const std::string text = "<nr><node Writer:i32=\"" + std::to_string(w) + "\" Sequence:i32=\"" +
                                         std::to_string(i) + "\"/></nr>";
                EXPECT_EQ(S_OK, Write(m_server.Get(), AtPath("\\Counter\\Value", text)));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();

    for (RecordingSink* sink : std::vector<RecordingSink*>{m_sink.Get(), otherSink.Get()}) {
        ASSERT_TRUE(sink->WaitForCount(kWriters * kWritesEach));
        std::vector<int> last(kWriters, -1);
        for (const SeenModification& seen : sink->Seen()) {
            const int writer = seen.node.GetRequiredAttribute<int32_t>("Writer");
            const int sequence = seen.node.GetRequiredAttribute<int32_t>("Sequence");
            EXPECT_EQ(last[writer] + 1, sequence) << "writer " << writer;
            last[writer] = sequence;
        }
    }
    // And the last notification each subscriber heard is what the store now holds.
    EXPECT_EQ(TextOf(Read(m_server.Get(), "\\Counter\\Value")), TextOf(m_sink->Seen().back().node));
}

TEST_F(ConfigSubscriptionTest, StateHeardAtActivationIsFollowedByEveryLaterWriteOnceAndInOrder)
{
    const auto value = [](int sequence) {
        return AtPath("\\Counter\\Value", "<nr><node Sequence:i32=\"" + std::to_string(sequence) + "\"/></nr>");
    };
    Write(m_server.Get(), value(0));
    constexpr int kWrites = 300;
    std::thread writer([&] {
        for (int i = 1; i <= kWrites; ++i) EXPECT_EQ(S_OK, Write(m_server.Get(), value(i)));
    });
    // Activated while the writer runs: whatever state it hears, the later writes follow it without a gap,
    // a repeat or an older one.
    const auto subscription = Subscribe(m_server.Get(), "\\Counter\\Value", m_sink.Get(), 11);
    ASSERT_EQ(S_OK, subscription->Activate());
    writer.join();

    const std::vector<SeenModification> seen = SeenAfterIdle();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen[0].synchronous);
    int expected = seen[0].node.GetRequiredAttribute<int32_t>("Sequence");
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_FALSE(seen[i].synchronous);
        EXPECT_EQ(++expected, seen[i].node.GetRequiredAttribute<int32_t>("Sequence")) << i;
    }
    EXPECT_EQ(kWrites, expected);
}

TEST_F(ConfigSubscriptionTest, NoNotificationAfterUnsubscribeReturns)
{
    const auto subscription = Follow(m_server.Get(), "\\Busy", m_sink.Get());
    ExpectNoCallAfterUnsubscribeReturns(
        m_onEachCall, [&] { Write(m_server.Get(), AtPath("\\Busy\\Node", "<nr><node/></nr>")); }, 1,
        [&] { return m_server->Unsubscribe(subscription.Get()); }, [&] { m_server->WaitForNotifications(); });
}

TEST_F(ConfigSubscriptionTest, UnsubscribeWaitsForTheRunningCallback)
{
    const auto subscription = Follow(m_server.Get(), "\\S", m_sink.Get());
    ExpectUnsubscribeWaitsForTheRunningCallback(
        m_onEachCall, [&] { Write(m_server.Get(), AtPath("\\S\\A", "<nr><node/></nr>")); },
        [&] { return m_server->Unsubscribe(subscription.Get()); });
}

TEST_F(ConfigSubscriptionTest, ShutdownEndsSubscriptionsAndLaterWritesNotifyNobody)
{
    const auto subscription = Follow(m_server.Get(), "\\S", m_sink.Get());
    m_server->Shutdown();
    EXPECT_EQ(S_OK, Write(m_server.Get(), AtPath("\\S\\A", "<nr><node/></nr>")));
    EXPECT_TRUE(Read(m_server.Get(), "\\S\\A"));
    EXPECT_TRUE(m_sink->Seen().empty());
}

}  // namespace
}  // namespace cvn::host::test
