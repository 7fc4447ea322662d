// The named instance table of libsprocket: registration, resolution, the codes it answers, reference
// ownership, and concurrent use (a taken name: HostServicesTest.FailedStartNamesTheCauseAndLeavesNothingRegistered).
#include "corvane/NamedInstances.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace cvn {
namespace {

struct IProbe : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x0b0c0d0e, 0x1111, 0x4222, 0x8333, 0x444455556666);
    virtual int Value() noexcept = 0;

protected:
    ~IProbe() = default;
};

// A counted object whose destruction is observable and may run a hook.
class Probe final : public IProbe {
public:
    explicit Probe(int value, std::atomic<int>* destroyed = nullptr) : m_value(value), m_destroyed(destroyed) {}
    ULONG AddRef() noexcept override { return ++m_refs; }
    ULONG Release() noexcept override
    {
        const ULONG left = --m_refs;
        if (left == 0) {
            if (m_onDestroy) m_onDestroy();
            if (m_destroyed) ++*m_destroyed;
            delete this;
        }
        return left;
    }
    HRESULT QueryInterface(const GUID* iid, void** out) noexcept override
    {
        if (!iid || !out) return E_INVALIDARG;
        if (*iid != IComponentBase::kIid && *iid != IProbe::kIid) return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IProbe*>(this);
        return S_OK;
    }
    int Value() noexcept override { return m_value; }
    ULONG Refs() const { return m_refs; }

    std::function<void()> m_onDestroy;

private:
    ~Probe() = default;
    std::atomic<ULONG> m_refs{1};
    int m_value;
    std::atomic<int>* m_destroyed;
};

constexpr GUID kOtherIid = MakeGuid(0x0b0c0d0f, 0x1111, 0x4222, 0x8333, 0x444455556666);

TEST(NamedInstances, RegisteredObjectIsResolvedAndUnknownNamesAndBadArgumentsRefused)
{
    auto* probe = new Probe(42);
    ASSERT_EQ(SkRegisterNamedInstance(u"Test.Probe", probe), S_OK);
    EXPECT_EQ(probe->Refs(), 2u);  // the table keeps its own reference

    void* out = nullptr;
    ASSERT_EQ(SkGetNamedInstance(u"Test.Probe", 0, &IProbe::kIid, &out), S_OK);
    EXPECT_EQ(static_cast<IProbe*>(out)->Value(), 42);
    EXPECT_EQ(probe->Refs(), 3u);  // one for the caller
    static_cast<IProbe*>(out)->Release();

    out = probe;
    EXPECT_EQ(SkGetNamedInstance(u"Test.probe", 0, &IProbe::kIid, &out), kHrNotFound);  // names are exact
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(SkUnregisterNamedInstance(u"Test.Probe"), S_OK);
    EXPECT_EQ(probe->Refs(), 1u);
    EXPECT_EQ(SkGetNamedInstance(u"Test.Probe", 0, &IProbe::kIid, &out), kHrNotFound);
    EXPECT_EQ(SkUnregisterNamedInstance(u"Test.Probe"), kHrNotFound);
    probe->Release();

    // A missing interface and bad arguments leave nothing behind.
    probe = new Probe(7);
    ASSERT_EQ(SkRegisterNamedInstance(u"Test.Args", probe), S_OK);
    out = probe;
    EXPECT_EQ(SkGetNamedInstance(u"Test.Args", 0, &kOtherIid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(probe->Refs(), 2u);

    EXPECT_EQ(SkGetNamedInstance(u"Test.Args", 1, &IProbe::kIid, &out), E_INVALIDARG);
    EXPECT_EQ(SkGetNamedInstance(nullptr, 0, &IProbe::kIid, &out), E_INVALIDARG);
    EXPECT_EQ(SkGetNamedInstance(u"", 0, &IProbe::kIid, &out), E_INVALIDARG);
    EXPECT_EQ(SkGetNamedInstance(u"Test.Args", 0, nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(SkGetNamedInstance(u"Test.Args", 0, &IProbe::kIid, nullptr), E_POINTER);
    EXPECT_EQ(SkRegisterNamedInstance(u"", probe), E_INVALIDARG);
    EXPECT_EQ(SkRegisterNamedInstance(u"Test.Null", nullptr), E_POINTER);
    EXPECT_EQ(SkUnregisterNamedInstance(nullptr), E_INVALIDARG);
    EXPECT_EQ(probe->Refs(), 2u);
    SkUnregisterNamedInstance(u"Test.Args");
    probe->Release();
}

TEST(NamedInstances, AnObjectEndingOnUnregisterMayUseTheTable)
{
    std::atomic<int> destroyed{0};
    auto* probe = new Probe(1, &destroyed);
    auto* dependent = new Probe(2);
    ASSERT_EQ(SkRegisterNamedInstance(u"Test.Owner", probe), S_OK);
    ASSERT_EQ(SkRegisterNamedInstance(u"Test.Dependent", dependent), S_OK);
    dependent->Release();
    probe->m_onDestroy = [] { SkUnregisterNamedInstance(u"Test.Dependent"); };
    probe->Release();  // the table holds the last reference now

    ASSERT_EQ(SkUnregisterNamedInstance(u"Test.Owner"), S_OK);
    EXPECT_EQ(destroyed, 1);
    void* out = nullptr;
    EXPECT_EQ(SkGetNamedInstance(u"Test.Dependent", 0, &IProbe::kIid, &out), kHrNotFound);
}

TEST(NamedInstances, ConcurrentRegistrationResolutionAndUnregistrationKeepCountsExact)
{
    std::atomic<int> destroyed{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &destroyed] {
            const std::u16string own = u"Test.Own" + std::u16string(1, static_cast<char16_t>(u'A' + t));
            for (int i = 0; i < kRounds; ++i) {
                auto* probe = new Probe(t, &destroyed);
                if (SkRegisterNamedInstance(u"Test.Shared", probe) == S_OK && i % 2 == 0)
                    SkUnregisterNamedInstance(u"Test.Shared");
                SkRegisterNamedInstance(own.c_str(), probe);
                probe->Release();
                void* out = nullptr;
                if (SkGetNamedInstance(u"Test.Shared", 0, &IProbe::kIid, &out) == S_OK) {
                    static_cast<IProbe*>(out)->Value();
                    static_cast<IProbe*>(out)->Release();
                }
                ASSERT_EQ(SkGetNamedInstance(own.c_str(), 0, &IProbe::kIid, &out), S_OK);
                EXPECT_EQ(static_cast<IProbe*>(out)->Value(), t);
                static_cast<IProbe*>(out)->Release();
                SkUnregisterNamedInstance(own.c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    SkUnregisterNamedInstance(u"Test.Shared");
    EXPECT_EQ(destroyed, kThreads * kRounds);
}

}  // namespace
}  // namespace cvn
