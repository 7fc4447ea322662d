// Resolution by instance name and the refusals of the configuration read and write helpers; reads and
// writes that find their node are checked against the host's store (HostServicesTest).
#include "common/ServiceLayer/NamedServices.h"

#include <gtest/gtest.h>

#include "common/Components/ComponentObject.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using test::CodeOf;

// An empty store that insists on the path filter the host's server takes: a 64-bit whole depth, no parent read.
class FakeStorage : public Implements<IConfigStorage> {
public:
    HRESULT DeleteNodes(IQxNode*, uint32_t) noexcept override { return E_NOTIMPL; }
    HRESULT Flush(uint32_t) noexcept override { return S_OK; }
    HRESULT WriteNodes(IQxNode*, uint32_t, IQxNode* const*, uint64_t) noexcept override { return E_NOTIMPL; }
    HRESULT CountNodes(IQxNode*, uint64_t*) noexcept override { return E_NOTIMPL; }
    HRESULT ReadNodes(IQxNode* filter, uint32_t flags, IQxNode**, uint64_t capacity, uint64_t* returned) noexcept override
    try {
        *returned = 0;
        const QxNodePtr request(filter);
        uint32_t depthType = 0;
        if (flags != 0 || capacity != 1 || request.GetType() != "FilterByPath" ||
            !request.HasAttribute("MaxDepth", &depthType) || depthType != QXN_TYPE_INT64 ||
            request.GetRequiredAttribute<int64_t>("MaxDepth") != QXN_DEPTH_ALL ||
            request.GetRequiredAttribute<bool>("IsParent") || request.GetRequiredAttribute<std::string>("NodePath").empty())
            return E_INVALIDARG;
        return S_OK;
    }
    CV_CATCH_RETURN("FakeStorage::ReadNodes")
};

TEST(NamedServices, ResolvesRegisteredNamesAndRefusesMissingOnesAndBadArguments)
{
    const auto storage = CreateComponent<FakeStorage>();
    test::ScopedNamedInstance registration{kConfigServerProxyName, storage.Get()};
    EXPECT_EQ(GetNamedInstance<IConfigStorage>(kConfigServerProxyName).Get(), static_cast<IConfigStorage*>(storage.Get()));
    EXPECT_EQ(CodeOf([] { GetNamedInstance<IConfigStorage>("No.Such.Instance"); }), kHrNotFound);
    EXPECT_FALSE(FindNamedInstance<IConfigStorage>("No.Such.Instance"));
    // A registered name without the interface is a real failure, not an absence.
    EXPECT_EQ(CodeOf([] { FindNamedInstance<IRequestContextMgr>(kConfigServerProxyName); }), E_NOINTERFACE);
    EXPECT_EQ(CodeOf([] { GetNamedInstance<IConfigStorage>(""); }), E_INVALIDARG);

    // Missing nodes are null or not found, named in the error for the caller's one failure line (no line of
    // their own); bad arguments and a store not registered are refused.
    EXPECT_FALSE(ReadConfigNode(ConfigSource::ConfigServer, R"(\Statuses\OverviewMetricsStatus)", false));
    test::LogCapture log;
    try {
        ReadConfigNode(ConfigSource::ConfigServer, R"(\Statuses\OverviewMetricsStatus)", true);
        ADD_FAILURE() << "a missing node that must exist is an error";
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), kHrNotFound);
        EXPECT_NE(ErrorText(error).find(R"(Configuration node \Statuses\OverviewMetricsStatus does not exist)"),
                  std::string::npos)
            << ErrorText(error);
    }
    const QxNodePtr node = QxNodePtr::Create("Node");
    EXPECT_EQ(CodeOf([] { ReadConfigNode(ConfigSource::ConfigServer, "", false); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([&] { WriteConfigNode(ConfigSource::ConfigServer, "", node); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { WriteConfigNode(ConfigSource::ConfigServer, R"(\A)", QxNodePtr()); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { ReadConfigNode(ConfigSource::AppConfigStorage, R"(\A)", false); }), kHrNotFound);
    EXPECT_EQ(log.Count("| ERR "), 0u);
}

}  // namespace
}  // namespace cvn
