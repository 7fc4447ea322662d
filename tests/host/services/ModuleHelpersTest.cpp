// The module's own helpers against the host services: configuration reads and
// writes by name, and request context capture.
#include <gtest/gtest.h>

#include <thread>

#include "common/ServiceLayer/NamedServices.h"
#include "common/ServiceLayer/RequestContext.h"
#include "tests/support/HostTestSupport.h"
#include "host/services/HostServices.h"

namespace cvn::host::test {
namespace {

class ModuleHelpersTest : public ::testing::Test {
protected:
    void SetUp() override { m_services.Start(HostServicesOptions{}); }
    void TearDown() override { m_services.Stop(); }

    HostServices m_services;
};

TEST_F(ModuleHelpersTest, ConfigurationWrittenByPathIsReadBackThroughEitherName)
{
    WriteConfigNode(ConfigSource::ConfigServer, "\\Statuses\\OverviewMetricsStatus",
                    Node(R"(<nr><node Phase="ready"><Detail q:name="D"/></node></nr>)"));
    for (const auto source : {ConfigSource::ConfigServer, ConfigSource::AppConfigStorage}) {
        const QxNodePtr read = ReadConfigNode(source, "\\Statuses\\OverviewMetricsStatus", true);
        EXPECT_EQ("ready", read.GetAttributeOr("Phase", ""));
        EXPECT_TRUE(read.GetChild("D", false));
    }
    EXPECT_FALSE(ReadConfigNode(ConfigSource::AppConfigStorage, "\\Statuses\\Missing", false));
    EXPECT_THROW(ReadConfigNode(ConfigSource::AppConfigStorage, "\\Statuses\\Missing", true), HRX);
}

TEST_F(ModuleHelpersTest, CapturedContextSeesTheCallersCancellation)
{
    const auto request = m_services.RequestContexts()->CreateContext(kRequestContextCurrent, "dashboard");
    ComPtr<IRequestContext> captured;
    {
        CRequestContextScope serving(request.Get());
        EXPECT_FALSE(IsCurrentRequestCancelled());
        captured = CopyRequestContext(1, GetRequestContext(kRequestContextCurrent).Get());
    }
    EXPECT_FALSE(GetRequestContext(kRequestContextCurrent)) << "the scope restores what was bound before";

    std::thread worker([&] {
        CRequestContextScope scope(captured.Get());
        ComPtr<IRequestContext> bound = GetRequestContext(1);
        EXPECT_EQ(captured.Get(), bound.Get());
    });
    worker.join();

    request->Cancel();
    CRequestContextScope serving(request.Get());
    EXPECT_TRUE(IsCurrentRequestCancelled());
    ComPtr<IRequestState> state;
    captured->GetRequestState(state.Put());
    BOOL cancelled = 0;
    state->IsCancelled(&cancelled);
    EXPECT_TRUE(cancelled);
}

}  // namespace
}  // namespace cvn::host::test
