// Resolution by instance name and the configuration read and write helpers,
// against an in-memory configuration store.
#include "common/ServiceLayer/NamedServices.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "common/Components/ComponentObject.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using test::CodeOf;

// Keeps nodes by the full path they carry, as the host's store does.
class FakeStorage : public Implements<IConfigStorage> {
public:
    HRESULT DeleteNodes(IQxNode*, uint32_t) noexcept override { return E_NOTIMPL; }
    HRESULT Flush(uint32_t) noexcept override { return S_OK; }
    HRESULT WriteNodes(IQxNode* context, uint32_t flags, IQxNode* const* nodes, uint64_t count) noexcept override
    try {
        if (context || flags != 0 || count != 1) return E_INVALIDARG;
        const QxNodePtr node(nodes[0]);
        std::lock_guard guard(m_lock);
        m_nodes[node.GetPath()] = node.Clone();
        return S_OK;
    }
    CV_CATCH_RETURN("FakeStorage::WriteNodes")

    HRESULT CountNodes(IQxNode*, uint64_t*) noexcept override { return E_NOTIMPL; }
    HRESULT ReadNodes(IQxNode* filter, uint32_t flags, IQxNode** nodes, uint64_t capacity,
                      uint64_t* returned) noexcept override
    try {
        *returned = 0;
        const QxNodePtr request(filter);
        if (flags != 0 || capacity != 1 || request.GetType() != "FilterByPath") return E_INVALIDARG;
        uint32_t depthType = 0;  // the server takes the depth as a 64-bit value only
        if (!request.HasAttribute("MaxDepth", &depthType) || depthType != QXN_TYPE_INT64) return E_INVALIDARG;
        if (request.GetRequiredAttribute<int64_t>("MaxDepth") != QXN_DEPTH_ALL) return E_INVALIDARG;
        if (request.GetRequiredAttribute<bool>("IsParent")) return E_INVALIDARG;
        std::lock_guard guard(m_lock);
        auto found = m_nodes.find(request.GetRequiredAttribute<std::string>("NodePath"));
        if (found == m_nodes.end()) return S_OK;
        nodes[0] = found->second.Clone().Detach();
        *returned = 1;
        return S_OK;
    }
    CV_CATCH_RETURN("FakeStorage::ReadNodes")

private:
    std::mutex m_lock;
    std::map<std::string, QxNodePtr> m_nodes;
};

class NamedServicesTest : public testing::Test {
protected:
    ComPtr<CComponentObject<FakeStorage>> m_storage = CreateComponent<FakeStorage>();
    test::ScopedNamedInstance m_registration{kConfigServerProxyName, m_storage.Get()};
};

TEST_F(NamedServicesTest, ResolvesRegisteredNamesAndRefusesMissingOnesAndBadArguments)
{
    EXPECT_EQ(GetNamedInstance<IConfigStorage>(kConfigServerProxyName).Get(),
              static_cast<IConfigStorage*>(m_storage.Get()));
    EXPECT_EQ(CodeOf([] { GetNamedInstance<IConfigStorage>("No.Such.Instance"); }), kHrNotFound);
    EXPECT_FALSE(FindNamedInstance<IConfigStorage>("No.Such.Instance"));
    // A registered name without the interface is a real failure, not an absence.
    EXPECT_EQ(CodeOf([] { FindNamedInstance<IRequestContextMgr>(kConfigServerProxyName); }), E_NOINTERFACE);
    EXPECT_EQ(CodeOf([] { GetNamedInstance<IConfigStorage>(""); }), E_INVALIDARG);

    // Missing nodes are null or not found; bad arguments and a store not registered are refused.
    EXPECT_FALSE(ReadConfigNode(ConfigSource::ConfigServer, R"(\Statuses\OverviewMetricsStatus)", false));
    EXPECT_EQ(CodeOf([] { ReadConfigNode(ConfigSource::ConfigServer, R"(\Statuses\OverviewMetricsStatus)", true); }),
              kHrNotFound);
    const QxNodePtr node = QxNodePtr::Create("Node");
    EXPECT_EQ(CodeOf([] { ReadConfigNode(ConfigSource::ConfigServer, "", false); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([&] { WriteConfigNode(ConfigSource::ConfigServer, "", node); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { WriteConfigNode(ConfigSource::ConfigServer, R"(\A)", QxNodePtr()); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { ReadConfigNode(ConfigSource::AppConfigStorage, R"(\A)", false); }), kHrNotFound);
}

TEST_F(NamedServicesTest, WrittenNodeIsReadBackWithItsSubtreeAtThePath)
{
    const QxNodePtr plans = QxNodePtr::Parse(R"(
        <Plans q:name="Anything" Count:i32="2"><Plan q:name="A" Enabled:bool="true"/><Plan q:name="B"/></Plans>)");
    WriteConfigNode(ConfigSource::ConfigServer, R"(\Configuration\MonitoringPlans)", plans);

    const QxNodePtr read = ReadConfigNode(ConfigSource::ConfigServer, R"(\Configuration\MonitoringPlans)", true);
    ASSERT_TRUE(read);
    EXPECT_EQ(read.GetName(), "MonitoringPlans");
    EXPECT_EQ(read.GetRequiredAttribute<int32_t>("Count"), 2);
    ASSERT_EQ(read.GetChildCount(), 2u);
    EXPECT_TRUE(read.GetChild("A").GetRequiredAttribute<bool>("Enabled"));
    EXPECT_EQ(plans.GetName(), "Anything");  // the caller's node is left as it was
}

}  // namespace
}  // namespace cvn
