// Component objects: one shared count across interfaces, the generated
// QueryInterface, FinalConstruct/FinalRelease and the module's count.
#include <gtest/gtest.h>

#include "common/Components/ComponentObject.h"

using namespace cvn;

namespace {

struct ITestA : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x11111111, 0x2222, 0x3333, 0x4444, 0x555555555555);
    virtual int A() noexcept = 0;

protected:
    ~ITestA() = default;
};

int g_finalReleases = 0;
HRESULT g_finalConstructResult = S_OK;

class CTwoFaces : public Implements<ITestA, IComponentWithShutdown> {
public:
    HRESULT FinalConstruct() noexcept { return g_finalConstructResult; }
    void FinalRelease() noexcept { ++g_finalReleases; }
    int A() noexcept override { return 42; }
    HRESULT Shutdown() noexcept override { return S_FALSE; }
};

constexpr GUID kTwoFacesClsid = MakeGuid(0xAAAAAAAA, 0xBBBB, 0xCCCC, 0xDDDD, 0xEEEEEEEEEEEE);
const ClassRegistration<CTwoFaces> registration{kTwoFacesClsid};

class ComponentObject : public testing::Test {
protected:
    void SetUp() override
    {
        g_finalReleases = 0;
        g_finalConstructResult = S_OK;
        m_baseCount = ModuleObject::Instance().LockCount();
    }
    ULONG m_baseCount = 0;
};

TEST_F(ComponentObject, InterfacesShareOneCountAndReleaseRunsFinalRelease)
{
    ITestA* a = nullptr;
    ASSERT_EQ(ModuleObject::Instance().CreateInstance(&kTwoFacesClsid, &ITestA::kIid, reinterpret_cast<void**>(&a)),
              S_OK);
    EXPECT_EQ(ModuleObject::Instance().LockCount(), m_baseCount + 1);
    EXPECT_EQ(a->A(), 42);

    IComponentWithShutdown* shutdown = nullptr;
    ASSERT_EQ(a->QueryInterface(&IComponentWithShutdown::kIid, reinterpret_cast<void**>(&shutdown)), S_OK);
    EXPECT_EQ(shutdown->Shutdown(), S_FALSE);
    EXPECT_EQ(shutdown->AddRef(), 3u) << "one count across both interfaces";

    IComponentBase* base = nullptr;
    ASSERT_EQ(shutdown->QueryInterface(&IComponentBase::kIid, reinterpret_cast<void**>(&base)), S_OK);
    EXPECT_EQ(static_cast<void*>(base), static_cast<void*>(a)) << "the base identity is the first interface";
    void* none = base;
    EXPECT_EQ(a->QueryInterface(&kTwoFacesClsid, &none), E_NOINTERFACE);
    EXPECT_EQ(a->QueryInterface(nullptr, &none), E_INVALIDARG);
    EXPECT_EQ(none, base);

    EXPECT_EQ(base->Release(), 3u);
    EXPECT_EQ(shutdown->Release(), 2u);
    EXPECT_EQ(shutdown->Release(), 1u);
    EXPECT_EQ(g_finalReleases, 0);
    EXPECT_EQ(a->Release(), 0u);
    EXPECT_EQ(g_finalReleases, 1);
    EXPECT_EQ(ModuleObject::Instance().LockCount(), m_baseCount);
}

TEST_F(ComponentObject, CreationCountsTheObjectAndFailuresThrowOrReturnTheirCodeLeavingNothing)
{
    EXPECT_EQ(CComponentObject<CTwoFaces>::Tag(), "CComponentObject<class {anonymous}::CTwoFaces>::CComponentObject");
    ComPtr<ITestA> made(CreateComponent<CTwoFaces>());
    EXPECT_EQ(made->A(), 42);
    EXPECT_EQ(ModuleObject::Instance().LockCount(), m_baseCount + 1);
    made.Reset();
    EXPECT_EQ(ModuleObject::Instance().LockCount(), m_baseCount);

    g_finalConstructResult = static_cast<HRESULT>(0x8007000D);
    void* out = nullptr;
    EXPECT_EQ(ModuleObject::Instance().CreateInstance(&kTwoFacesClsid, &ITestA::kIid, &out),
              static_cast<HRESULT>(0x8007000D));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(g_finalReleases, 1);  // only the object made above
    EXPECT_THROW(CreateComponent<CTwoFaces>(), HRX);
    EXPECT_EQ(ModuleObject::Instance().LockCount(), m_baseCount);

    // An interface the class lacks releases the half-made object (unknown classes: ModuleExport.SlotsBehaveAsTheTableSays).
    g_finalConstructResult = S_OK;
    const GUID unknown = MakeGuid(0x1, 0x2, 0x3, 0x4, 0x5);
    EXPECT_EQ(ModuleObject::Instance().CreateInstance(&kTwoFacesClsid, &unknown, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(g_finalReleases, 2);
    EXPECT_EQ(ModuleObject::Instance().LockCount(), m_baseCount);
}

}  // namespace
