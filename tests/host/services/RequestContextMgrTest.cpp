// The request context manager: per-thread slots, copies and cancellation.
#include <gtest/gtest.h>

#include <thread>

#include "host/services/RequestContextMgr.h"
#include "tests/support/HostTestSupport.h"

namespace cvn::host::test {
namespace {

class RequestContextMgrTest : public ::testing::Test {
protected:
    ComPtr<CComponentObject<CRequestContextMgr>> m_manager = CreateComponent<CRequestContextMgr>();

    ComPtr<IRequestContext> Bound(uint32_t kind)
    {
        ComPtr<IRequestContext> context;
        EXPECT_TRUE(Succeeded(m_manager->GetContext(kind, context.Put())));
        return context;
    }
    static bool IsCancelled(IRequestContext* context)
    {
        ComPtr<IRequestState> state;
        EXPECT_EQ(S_OK, context->GetRequestState(state.Put()));
        BOOL cancelled = 0;
        EXPECT_EQ(S_OK, state->IsCancelled(&cancelled));
        return cancelled != 0;
    }
};

TEST_F(RequestContextMgrTest, SlotsArePerThreadAndKindAndSetHandsBackThePrevious)
{
    const auto outer = m_manager->CreateContext(0, "outer");
    const auto inner = m_manager->CreateContext(0, "inner");
    ComPtr<IRequestContext> previous;
    ASSERT_EQ(S_OK, m_manager->SetContext(0, outer.Get(), previous.Put()));
    EXPECT_FALSE(previous);
    EXPECT_EQ(static_cast<IRequestContext*>(outer.Get()), Bound(0).Get());
    EXPECT_FALSE(Bound(1));
    ComPtr<IRequestContext> onOtherThread = ComPtr<IRequestContext>(outer);
    std::thread([&] { EXPECT_EQ(S_FALSE, m_manager->GetContext(0, onOtherThread.Put())); }).join();
    EXPECT_FALSE(onOtherThread);

    ASSERT_EQ(S_OK, m_manager->SetContext(0, inner.Get(), previous.Put()));
    EXPECT_EQ(static_cast<IRequestContext*>(outer.Get()), previous.Get());
    m_manager->SetContext(0, previous.Get(), nullptr);
    EXPECT_EQ(static_cast<IRequestContext*>(outer.Get()), Bound(0).Get());
    m_manager->SetContext(0, nullptr, nullptr);
    EXPECT_FALSE(Bound(0));
    EXPECT_EQ(0u, m_manager->BoundThreadCount());
}

TEST_F(RequestContextMgrTest, CopiesShareIdentityAndCancellationHaveTheirOwnKindOutliveTheirSourceAndKeepTheNameProtocol)
{
    const auto request = m_manager->CreateContext(0, "dashboard");
    ComPtr<IRequestContext> copy;
    ASSERT_EQ(S_OK, m_manager->CopyContext(1, request.Get(), copy.Put()));
    uint32_t kind = 7;
    copy->GetKind(&kind);
    EXPECT_EQ(1u, kind);
    GUID sourceId{}, copyId{};
    request->GetRequestId(&sourceId);
    copy->GetRequestId(&copyId);
    EXPECT_EQ(sourceId, copyId);
    char16_t name[32];
    uint32_t size = 32;
    ASSERT_EQ(S_OK, copy->GetCallerName(name, &size));
    EXPECT_EQ(u"dashboard", std::u16string(name, size - 1));
    EXPECT_FALSE(IsCancelled(copy.Get()));
    request->Cancel();
    EXPECT_TRUE(IsCancelled(copy.Get())) << "work that captured a copy must notice its caller's cancellation";

    ComPtr<IRequestContext> orphan;
    m_manager->CopyContext(1, m_manager->CreateContext(0, "short-lived").Get(), orphan.Put());
    EXPECT_FALSE(IsCancelled(orphan.Get()));

    // A null source makes a fresh context.
    ComPtr<IRequestContext> fresh, another;
    ASSERT_EQ(S_OK, m_manager->CopyContext(1, nullptr, fresh.Put()));
    ASSERT_EQ(S_OK, m_manager->CopyContext(1, nullptr, another.Put()));
    GUID a{}, b{};
    fresh->GetRequestId(&a);
    another->GetRequestId(&b);
    EXPECT_FALSE(a == b);
    int64_t ticks = 0;
    fresh->GetCreationTime(&ticks);
    EXPECT_GT(ticks, 133000000000000000LL) << "creation time counts 100-ns ticks since 1601";

    // The caller name asks for room (with its terminator) and an unnamed context reads as empty.
    size = 0;
    EXPECT_EQ(kHrInsufficientBuffer, request->GetCallerName(nullptr, &size));
    EXPECT_EQ(10u, size);
    request->SetCallerName(nullptr);
    size = 1;
    EXPECT_EQ(S_OK, request->GetCallerName(name, &size));
    EXPECT_EQ(1u, size);
}

}  // namespace
}  // namespace cvn::host::test
