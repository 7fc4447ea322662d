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
    QxNodePtr m_change = Node(R"(<nr><Change q:name="Record" Table="Changes"/></nr>)");
};

TEST_F(DsmNotificationsTest, EachKindReachesEverySinkOnce)
{
    auto first = CreateComponent<CountingSink>(), second = CreateComponent<CountingSink>();
    ASSERT_EQ(S_OK, m_source->Subscribe(first.Get()));
    ASSERT_EQ(S_OK, m_source->Subscribe(first.Get()));
    ASSERT_EQ(S_OK, m_source->Subscribe(second.Get()));
    uint32_t count = 0;
    m_source->GetSubscriberCount(&count);
    EXPECT_EQ(2u, count);

    EXPECT_EQ(S_OK, m_source->NotifyModified(m_change.Get()));
    EXPECT_EQ(S_OK, m_source->NotifyAdded(m_change.Get()));
    EXPECT_EQ(S_OK, m_source->NotifyAdded(m_change.Get()));
    EXPECT_EQ(S_OK, m_source->NotifyRemoved(m_change.Get()));
    for (CountingSink* sink : {first.Get(), second.Get()}) {
        EXPECT_EQ(1, sink->modified.load());
        EXPECT_EQ(2, sink->added.load());
        EXPECT_EQ(1, sink->removed.load());
    }
}

TEST_F(DsmNotificationsTest, FailingSinkDoesNotStopTheOthers)
{
    auto failing = CreateComponent<CountingSink>(), healthy = CreateComponent<CountingSink>();
    failing->fail = true;
    m_source->Subscribe(failing.Get());
    m_source->Subscribe(healthy.Get());
    EXPECT_EQ(S_FALSE, m_source->NotifyModified(m_change.Get()));
    EXPECT_EQ(1, healthy->modified.load());
    EXPECT_EQ(E_POINTER, m_source->NotifyModified(nullptr));
}

TEST_F(DsmNotificationsTest, UnsubscribedSinkHearsNothingAndUnknownSinkIsNotFound)
{
    auto sink = CreateComponent<CountingSink>();
    m_source->Subscribe(sink.Get());
    EXPECT_EQ(S_OK, m_source->Unsubscribe(sink.Get()));
    EXPECT_EQ(kHrNotFound, m_source->Unsubscribe(sink.Get()));
    m_source->NotifyAdded(m_change.Get());
    EXPECT_EQ(0, sink->added.load());

    m_source->Subscribe(sink.Get());
    EXPECT_EQ(S_OK, m_source->UnsubscribeAll());
    m_source->NotifyAdded(m_change.Get());
    EXPECT_EQ(0, sink->added.load());
}

TEST_F(DsmNotificationsTest, SinkMayUnsubscribeItselfFromItsCall)
{
    auto sink = CreateComponent<CountingSink>();
    std::atomic<HRESULT> result{E_FAIL};
    sink->onCall = [&] { result = m_source->Unsubscribe(sink.Get()); };
    m_source->Subscribe(sink.Get());
    m_source->NotifyModified(m_change.Get());
    m_source->NotifyModified(m_change.Get());
    EXPECT_EQ(S_OK, result.load());
    EXPECT_EQ(1, sink->modified.load());
}

TEST_F(DsmNotificationsTest, UnsubscribeWaitsForTheRunningCall)
{
    auto sink = CreateComponent<CountingSink>();
    m_source->Subscribe(sink.Get());
    ExpectUnsubscribeWaitsForTheRunningCallback([&](std::function<void()> call) { sink->onCall = std::move(call); },
                                                [&] { m_source->NotifyAdded(m_change.Get()); },
                                                [&] { return m_source->Unsubscribe(sink.Get()); });
}

TEST_F(DsmNotificationsTest, NoCallAfterUnsubscribeReturns)
{
    auto sink = CreateComponent<CountingSink>();
    m_source->Subscribe(sink.Get());
    ExpectNoCallAfterUnsubscribeReturns([&](std::function<void()> call) { sink->onCall = std::move(call); },
                                        [&] { m_source->NotifyModified(m_change.Get()); }, 3,
                                        [&] { return m_source->Unsubscribe(sink.Get()); });
}

}  // namespace
}  // namespace cvn::host::test
