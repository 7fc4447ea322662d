// The module's own helpers against the host services: configuration reads and
// writes by name, a configuration subscriber, and request context capture.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "ServiceLayer/NamedServices.h"
#include "ServiceLayer/RequestContext.h"
#include "SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"
#include "host/services/HostTestSupport.h"
#include "services/HostServices.h"

namespace corvane::host::test {
namespace {

class ModuleHelpersTest : public ::testing::Test {
protected:
    void SetUp() override { m_services.Start(HostServicesOptions{}); }
    void TearDown() override { m_services.Stop(); }

    HostServices m_services;
};

TEST_F(ModuleHelpersTest, ConfigurationWrittenByPathIsReadBackThroughTheOtherName)
{
    WriteConfigNode(ConfigSource::ConfigServer, "\\Statuses\\OverviewMetricsStatus",
                    Node(R"(<nr><node Phase="ready"/></nr>)"));
    const QxNodePtr read = ReadConfigNode(ConfigSource::AppConfigStorage, "\\Statuses\\OverviewMetricsStatus", true);
    EXPECT_EQ("ready", read.GetAttributeOr("Phase", ""));
    EXPECT_FALSE(ReadConfigNode(ConfigSource::AppConfigStorage, "\\Statuses\\Missing", false));
    EXPECT_THROW(ReadConfigNode(ConfigSource::AppConfigStorage, "\\Statuses\\Missing", true), HRX);
}

TEST_F(ModuleHelpersTest, ConfigSubscriberHearsEachWriteInOrderAndNothingAfterStop)
{
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<std::string, std::string>> heard;
    CfgSubscriptionsHelpers::ConfigSubscriber subscriber(
        "\\Configuration\\Plans",
        [&](const std::string& path, const QxNodePtr& node) {
            std::lock_guard guard(lock);
            heard.emplace_back(path, node ? node.GetAttributeOr("Name", "") : "(none)");
            changed.notify_all();
        },
        31, 11, std::chrono::milliseconds(5));
    subscriber.Start();

    for (int i = 0; i < 10; ++i)
        WriteConfigNode(ConfigSource::AppConfigStorage, "\\Configuration\\Plans\\P" + std::to_string(i % 3),
                        Node("<nr><node Name=\"plan-" + std::to_string(i) + "\"/></nr>"));
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, kWaitLimit, [&] { return heard.size() >= 10; }));
    }
    subscriber.Stop();
    WriteConfigNode(ConfigSource::AppConfigStorage, "\\Configuration\\Plans\\Late", Node("<nr><node/></nr>"));
    m_services.ConfigServer()->WaitForNotifications();

    std::lock_guard guard(lock);
    ASSERT_EQ(10u, heard.size());
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ("\\Configuration\\Plans\\P" + std::to_string(i % 3), heard[i].first);
        EXPECT_EQ("plan-" + std::to_string(i), heard[i].second);
    }
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
}  // namespace corvane::host::test
