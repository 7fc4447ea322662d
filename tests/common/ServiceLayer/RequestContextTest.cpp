// Request contexts: reading, copying and binding through a fake manager, and the behaviour without one.
// Per-thread slots: RequestContextMgrTest; cancellation read through a bound context:
// CorvaneGateTest.CallerCancellationStopsThePoll.
#include "common/ServiceLayer/RequestContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/Components/ComponentObject.h"
#include "common/ServiceLayer/NamedServices.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using test::CodeOf;

// A context of one kind; the helpers read nothing else from it here.
class FakeContext : public Implements<IRequestContext> {
public:
    explicit FakeContext(uint32_t kind) : m_kind(kind) {}
    HRESULT GetRequestId(GUID*) noexcept override { return E_NOTIMPL; }
    HRESULT GetCreationTime(int64_t*) noexcept override { return E_NOTIMPL; }
    HRESULT GetCallerName(char16_t*, uint32_t*) noexcept override { return E_NOTIMPL; }
    HRESULT GetKind(uint32_t* kind) noexcept override
    {
        *kind = m_kind;
        return S_OK;
    }
    HRESULT SetCallerName(const char16_t*) noexcept override { return E_NOTIMPL; }
    HRESULT GetRequestState(IRequestState**) noexcept override { return E_NOTIMPL; }

private:
    uint32_t m_kind;
};

ComPtr<IRequestContext> MakeContext(uint32_t kind)
{
    return ComPtr<IRequestContext>::Attach(CreateComponent<FakeContext>(kind).Detach());
}

// Keeps contexts per (thread, kind), as the host's manager does.
class FakeManager : public Implements<IRequestContextMgr> {
public:
    HRESULT GetContext(uint32_t kind, IRequestContext** context) noexcept override
    {
        if (m_getResult < 0) return m_getResult;
        *context = Bound(kind).Detach();
        return *context ? S_OK : S_FALSE;
    }
    HRESULT SetContext(uint32_t kind, IRequestContext* context, IRequestContext** previous) noexcept override
    {
        if (m_setResult < 0) return m_setResult;
        std::lock_guard guard(m_lock);
        ComPtr<IRequestContext>& slot = m_bound[{std::this_thread::get_id(), kind}];
        ComPtr<IRequestContext> old = std::exchange(slot, ComPtr<IRequestContext>(context));
        if (previous) *previous = old.Detach();
        return S_OK;
    }
    HRESULT CopyContext(uint32_t value, IRequestContext* source, IRequestContext** copy) noexcept override
    {
        m_copyValue = value;
        m_copySource = source;
        uint32_t kind = 0;
        if (source) source->GetKind(&kind);
        *copy = MakeContext(kind).Detach();
        return S_OK;
    }

    ComPtr<IRequestContext> Bound(uint32_t kind)
    {
        std::lock_guard guard(m_lock);
        auto found = m_bound.find({std::this_thread::get_id(), kind});
        return found == m_bound.end() ? nullptr : found->second;
    }

    std::atomic<HRESULT> m_getResult{S_OK};
    std::atomic<HRESULT> m_setResult{S_OK};
    std::atomic<uint32_t> m_copyValue{0};
    std::atomic<IRequestContext*> m_copySource{nullptr};

private:
    std::mutex m_lock;
    std::map<std::pair<std::thread::id, uint32_t>, ComPtr<IRequestContext>> m_bound;
};

TEST(RequestContextWithoutManager, ReadsNothingBindsNothingAndRefusesToCopy)
{
    EXPECT_FALSE(GetRequestContext(kRequestContextCurrent));
    EXPECT_FALSE(IsCurrentRequestCancelled());
    const auto context = MakeContext(0);
    {
        CRequestContextScope scope(context.Get());
        EXPECT_EQ(scope.Kind(), 0u);
    }
    CRequestContextScope nullScope(nullptr);
    EXPECT_EQ(nullScope.Kind(), 1u);
    EXPECT_EQ(CodeOf([] { CopyRequestContext(1, nullptr); }), kHrNotFound);
}

class RequestContextTest : public testing::Test {
protected:
    ComPtr<CComponentObject<FakeManager>> m_manager = CreateComponent<FakeManager>();
    test::ScopedNamedInstance m_registration{kRequestContextMgrName, m_manager.Get()};
};

TEST_F(RequestContextTest, ScopesBindForTheKindRestoreThePreviousANullScopeClearsKindOneAndCopiesGoThroughTheManager)
{
    const auto outer = MakeContext(0);
    const auto inner = MakeContext(0);
    {
        CRequestContextScope outerScope(outer.Get());
        EXPECT_EQ(GetRequestContext(0).Get(), outer.Get());
        {
            CRequestContextScope innerScope(inner.Get());
            EXPECT_EQ(GetRequestContext(0).Get(), inner.Get());
        }
        EXPECT_EQ(GetRequestContext(0).Get(), outer.Get());
    }
    EXPECT_FALSE(GetRequestContext(0));

    const auto kindOne = MakeContext(1);
    CRequestContextScope bound(kindOne.Get());
    {
        CRequestContextScope cleared(nullptr);
        EXPECT_FALSE(m_manager->Bound(1));
    }
    EXPECT_EQ(m_manager->Bound(1).Get(), kindOne.Get());

    auto context = CreateComponent<FakeContext>(0);
    CRequestContextScope scope(context.Get());
    const auto copied = GetRequestContext(0, true);
    ASSERT_TRUE(copied);
    EXPECT_NE(copied.Get(), static_cast<IRequestContext*>(context.Get()));
    EXPECT_EQ(m_manager->m_copySource.load(), static_cast<IRequestContext*>(context.Get()));
    EXPECT_TRUE(CopyRequestContext(1, nullptr));
    EXPECT_EQ(m_manager->m_copyValue.load(), 1u);
    EXPECT_EQ(m_manager->m_copySource.load(), nullptr);
}

TEST_F(RequestContextTest, ManagerFailuresThrowExceptOnRestore)
{
    m_manager->m_getResult = E_ACCESSDENIED;
    EXPECT_EQ(CodeOf([] { GetRequestContext(0); }), E_ACCESSDENIED);
    m_manager->m_getResult = S_OK;

    const auto context = MakeContext(0);
    m_manager->m_setResult = E_ACCESSDENIED;
    EXPECT_EQ(CodeOf([&] { CRequestContextScope scope(context.Get()); }), E_ACCESSDENIED);
    m_manager->m_setResult = S_OK;

    test::LogCapture log;
    {
        CRequestContextScope scope(context.Get());
        m_manager->m_setResult = E_ACCESSDENIED;
    }
    EXPECT_EQ(log.Count("Unable to restore old context "), 1u);
    m_manager->m_setResult = S_OK;
}

}  // namespace
}  // namespace cvn
