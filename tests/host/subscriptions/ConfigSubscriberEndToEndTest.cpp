// A configuration written through "ConfigServer.Proxy" reaches a
// ConfigSubscriber that follows its path, in write order, and nothing after Stop.
#include <gtest/gtest.h>

#include "common/ServiceLayer/NamedServices.h"
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"
#include "host/services/HostServices.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

constexpr char kFollowed[] = R"(\Configuration\EndToEndPlans)";

TEST(ConfigSubscriberEndToEnd, WritesReachTheSubscriberInWriteOrderUntilStop)
{
    host::HostServices services;
    services.Start({});
    test::Collector received;
    const auto writePlan = [](const std::string& name, int32_t version) {
        WriteConfigNode(ConfigSource::ConfigServer, std::string(kFollowed) + "\\" + name,
                        QxNodePtr::Parse("<Plan Version:i32=\"" + std::to_string(version) + "\"/>"));
    };
    CfgSubscriptionsHelpers::ConfigSubscriber subscriber(
        kFollowed,
        [&](const std::string& path, const QxNodePtr& node) {
            received.Add(path + "=" + node.GetName() + "@" + std::to_string(node.GetAttributeOr<int32_t>("Version", -1)));
        },
        31, 11, std::chrono::milliseconds(5));
    subscriber.Start();

    // Plan2 is written twice: both versions come, in the order written.
    std::vector<std::string> expected;
    for (const auto& [name, version] : std::vector<std::pair<std::string, int32_t>>{
             {"Plan0", 1}, {"Plan1", 1}, {"Plan2", 1}, {"Plan3", 1}, {"Plan2", 2}}) {
        writePlan(name, version);
        expected.push_back(std::string(kFollowed) + "\\" + name + "=" + name + "@" + std::to_string(version));
    }
    ASSERT_TRUE(received.WaitFor(expected.size()));
    subscriber.Stop();
    writePlan("Late", 0);
    services.ConfigServer()->WaitForNotifications();
    EXPECT_EQ(received.Items(), expected);
}

}  // namespace
}  // namespace cvn
