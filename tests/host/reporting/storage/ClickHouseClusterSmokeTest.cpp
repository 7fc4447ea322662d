// The throw-away two-shard ClickHouse cluster the tests on a real ClickHouse stand on.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "host/reporting/storage/clickhouse/ClickHouseSql.h"
#include "tests/support/ClusterScript.h"
#include "tests/support/ClickHouseCluster.h"

namespace cvn::test {
namespace {

TEST(ClickHouseClusterTest, ShardsFormOneClusterAStoppedShardFailsAtOnceAndDestructionLeavesNothing)
{
    std::string dir;
    pid_t pids[2] = {-1, -1};
    {
        ClickHouseCluster cluster;
        dir = cluster.Dir();
        EXPECT_EQ(cluster.Connection(), "hosts=127.0.0.1:" + std::to_string(cluster.HttpPort(1)) + ",127.0.0.1:" +
                                            std::to_string(cluster.HttpPort(2)) + " user=audit password_file=" +
                                            dir + "/password cluster=audit_cluster database=default");
        EXPECT_EQ(reporting::clickhouse::ConnectionProblem(cluster.Connection()), "");
        struct stat password {};
        ASSERT_EQ(stat((dir + "/password").c_str(), &password), 0);
        EXPECT_EQ(password.st_mode & 0777, 0600u);

        // No ON CLUSTER without ZooKeeper: each server gets the tables itself.
        for (int n : {1, 2}) {
            EXPECT_EQ(cluster.Client(n, "SELECT 1"), "1");
            cluster.Client(n, "CREATE TABLE Local (N UInt32) ENGINE = MergeTree ORDER BY N;"
                              "CREATE TABLE Everywhere AS Local ENGINE = Distributed(audit_cluster, default, Local, N)");
        }
        cluster.Client(1, "INSERT INTO Local VALUES (1)");
        cluster.Client(2, "INSERT INTO Local VALUES (2), (3)");
        for (int n : {1, 2}) EXPECT_EQ(cluster.Client(n, "SELECT count(), sum(N) FROM Everywhere"), "3\t6");

        // A shard down fails the query at once (code 279, "All connection tries failed"); a hang would end
        // in the client's one-minute deadline with another message.
        const pid_t second = cluster.Pid(2);
        cluster.StopShard(2);
        EXPECT_TRUE(ProcessGone(second));
        EXPECT_EQ(cluster.Pid(2), -1);
        try {
            cluster.Client(1, "SELECT count() FROM Everywhere");
            ADD_FAILURE() << "a distributed query with a shard down succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("Code: 279"), std::string::npos) << error.what();
        }

        cluster.StartShard(2);
        EXPECT_NE(cluster.Pid(2), second);
        EXPECT_EQ(cluster.Client(1, "SELECT count(), sum(N) FROM Everywhere"), "3\t6");

        // Destruction must end a frozen server too.
        cluster.FreezeShard(2);
        EXPECT_EQ(ProcessState(cluster.Pid(2)), 'T');
        pids[0] = cluster.Pid(1);
        pids[1] = cluster.Pid(2);
    }
    EXPECT_TRUE(ProcessGone(pids[0]));
    EXPECT_TRUE(ProcessGone(pids[1]));
    EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace cvn::test
