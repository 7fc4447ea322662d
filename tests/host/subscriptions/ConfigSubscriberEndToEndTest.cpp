// A configuration written through "ConfigServer.Proxy" reaches a
// ConfigSubscriber that follows its path: in write order, gathered into one
// publication per interval, and nothing after Stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/ServiceLayer/NamedServices.h"
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriber.h"
#include "host/services/HostServices.h"

namespace cvn {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

constexpr char kFollowed[] = R"(\Configuration\EndToEndPlans)";
constexpr auto kInterval = 300ms;  // long enough for every write to land before the first publication

struct Delivery {
    std::string path;
    std::string name;
    int32_t version = 0;
    steady_clock::time_point at;
};

class Deliveries {
public:
    CfgSubscriptionsHelpers::ConfigSubscriber::Callback Callback()
    {
        return [this](const std::string& path, const QxNodePtr& node) {
            Delivery delivery{path, node ? node.GetName() : "", node ? node.GetAttributeOr<int32_t>("Version", -1) : -1,
                              steady_clock::now()};
            {
                std::lock_guard guard(m_lock);
                m_deliveries.push_back(std::move(delivery));
            }
            m_changed.notify_all();
        };
    }
    std::vector<Delivery> WaitFor(size_t count, std::chrono::milliseconds timeout = 20s)
    {
        std::unique_lock held(m_lock);
        m_changed.wait_for(held, timeout, [&] { return m_deliveries.size() >= count; });
        return m_deliveries;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Delivery> m_deliveries;
};

TEST(ConfigSubscriberEndToEnd, WritesReachTheSubscriberInWriteOrderInOneBatch)
{
    host::HostServices services;
    services.Start({});
    Deliveries deliveries;
    const auto writePlan = [](const std::string& name, int32_t version) {
        WriteConfigNode(ConfigSource::ConfigServer, std::string(kFollowed) + "\\" + name,
                        QxNodePtr::Parse("<Plan Version:i32=\"" + std::to_string(version) + "\"/>"));
    };
    const auto start = steady_clock::now();
    CfgSubscriptionsHelpers::ConfigSubscriber subscriber(kFollowed, deliveries.Callback(), 31, 11, kInterval);
    subscriber.Start();

    // Plan2 is written twice: both versions come, in the order written.
    const std::vector<std::pair<std::string, int32_t>> writes = {
        {"Plan0", 1}, {"Plan1", 1}, {"Plan2", 1}, {"Plan3", 1}, {"Plan2", 2}};
    for (const auto& [name, version] : writes) writePlan(name, version);
    services.ConfigServer()->WaitForNotifications();
    const auto written = steady_clock::now();
    ASSERT_LT(written - start, kInterval / 2) << "the writes were too slow to fit in one interval";

    const auto received = deliveries.WaitFor(writes.size());
    ASSERT_EQ(received.size(), writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(received[i].path, std::string(kFollowed) + "\\" + writes[i].first) << i;
        EXPECT_EQ(received[i].name, writes[i].first) << i;
        EXPECT_EQ(received[i].version, writes[i].second) << i;
        // One publication: nothing before the writes were all in, and all of it close together.
        EXPECT_GT(received[i].at, written) << i;
        EXPECT_LT(received[i].at - received[0].at, kInterval / 2) << i;
    }

    // Nothing else arrives, and a stopped subscriber hears no more writes.
    subscriber.Stop();
    writePlan("Late", 0);
    services.ConfigServer()->WaitForNotifications();
    EXPECT_EQ(deliveries.WaitFor(writes.size() + 1, 2 * kInterval).size(), writes.size());
}

}  // namespace
}  // namespace cvn
