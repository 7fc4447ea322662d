// The change notification source: fan-out to subscribed sinks, and the end of
// a subscription.
#include <gtest/gtest.h>

#include <atomic>

#include "host/services/DsmNotifications.h"
#include "tests/support/HostTestSupport.h"

namespace cvn::host::test {
namespace {

class CountingSink : public Implements<IDsmChangesSink> {
public:
    HRESULT OnModify(IQxNode*) noexcept override { return Count(modified); }
    HRESULT OnAdded(IQxNode*) noexcept override { return Count(added); }
    HRESULT OnRemoved(IQxNode*) noexcept override { return Count(removed); }

    std::atomic<int> modified{0}, added{0}, removed{0};
    std::atomic<bool> fail{false};
    std::function<void()> onCall;

private:
    HRESULT Count(std::atomic<int>& counter)
    {
        ++counter;
        if (onCall) onCall();
        return fail ? E_FAIL : S_OK;
    }
};

class DsmNotificationsTest : public ::testing::Test {
protected:
    ComPtr<CComponentObject<CDsmNotifications>> m_source = CreateComponent<CDsmNotifications>();
    ComPtr<CComponentObject<CountingSink>> m_sink = CreateComponent<CountingSink>();
    QxNodePtr m_change = Tree(R"(<nr><Change q:name="Record" Table="Changes"/></nr>)");
};

TEST_F(DsmNotificationsTest, EachKindReachesEverySinkOnceAFailingOneStopsNoOtherAndUnsubscribedHearNothing)
{
    auto failing = CreateComponent<CountingSink>();
    failing->fail = true;
    ASSERT_EQ(S_OK, m_source->Subscribe(failing.Get()));
    ASSERT_EQ(S_OK, m_source->Subscribe(m_sink.Get()));
    ASSERT_EQ(S_OK, m_source->Subscribe(m_sink.Get()));  // a second subscription of one sink is the same one
    uint32_t count = 0;
    m_source->GetSubscriberCount(&count);
    EXPECT_EQ(2u, count);

    EXPECT_EQ(S_FALSE, m_source->NotifyModified(m_change.Get())) << "a sink failed";
    m_source->NotifyAdded(m_change.Get());
    m_source->NotifyAdded(m_change.Get());
    m_source->NotifyRemoved(m_change.Get());
    for (CountingSink* sink : {failing.Get(), m_sink.Get()}) {
        EXPECT_EQ(1, sink->modified.load());
        EXPECT_EQ(2, sink->added.load());
        EXPECT_EQ(1, sink->removed.load());
    }
    EXPECT_EQ(E_POINTER, m_source->NotifyModified(nullptr));

    EXPECT_EQ(S_OK, m_source->Unsubscribe(m_sink.Get()));
    EXPECT_EQ(kHrNotFound, m_source->Unsubscribe(m_sink.Get()));
    EXPECT_EQ(S_OK, m_source->UnsubscribeAll());
    m_source->NotifyAdded(m_change.Get());
    EXPECT_EQ(2, m_sink->added.load());
    EXPECT_EQ(2, failing->added.load());
}

TEST_F(DsmNotificationsTest, SinkMayUnsubscribeItselfFromItsCall)
{
    std::atomic<HRESULT> result{E_FAIL};
    m_sink->onCall = [&] { result = m_source->Unsubscribe(m_sink.Get()); };
    m_source->Subscribe(m_sink.Get());
    m_source->NotifyModified(m_change.Get());
    m_source->NotifyModified(m_change.Get());
    EXPECT_EQ(S_OK, result.load());
    EXPECT_EQ(1, m_sink->modified.load());
}

// Concurrency rules, also run under ThreadSanitizer.

TEST_F(DsmNotificationsTest, UnsubscribeWaitsForTheRunningCall)
{
    m_source->Subscribe(m_sink.Get());
    ExpectUnsubscribeWaitsForTheRunningCallback([&](std::function<void()> call) { m_sink->onCall = std::move(call); },
                                                [&] { m_source->NotifyAdded(m_change.Get()); },
                                                [&] { return m_source->Unsubscribe(m_sink.Get()); });
}

TEST_F(DsmNotificationsTest, NoCallAfterUnsubscribeReturns)
{
    m_source->Subscribe(m_sink.Get());
    ExpectNoCallAfterUnsubscribeReturns([&](std::function<void()> call) { m_sink->onCall = std::move(call); },
                                        [&] { m_source->NotifyModified(m_change.Get()); }, 3,
                                        [&] { return m_source->Unsubscribe(m_sink.Get()); });
}

}  // namespace
}  // namespace cvn::host::test
