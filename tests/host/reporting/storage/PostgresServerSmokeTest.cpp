// The throw-away PostgreSQL server the tests on a real database stand on.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/ClusterScript.h"
#include "tests/support/PostgresServer.h"

namespace cvn::test {
namespace {

TEST(PostgresServerTest, RestartKeepsConnectionAndDataAndDestructionLeavesNothing)
{
    std::string dir;
    pid_t firstPid = -1;
    {
        PostgresServer server;
        dir = server.Dir();
        firstPid = server.Pid();
        // The password stays in the pgpass file, out of the connection text.
        EXPECT_EQ(server.Connection().rfind("host=127.0.0.1 port=" + std::to_string(server.Port()) +
                                                " dbname=reporting user=corvane passfile=/", 0),
                  0u)
            << server.Connection();
        EXPECT_EQ(server.Connection().find("password"), std::string::npos);
        struct stat pgpass {};
        ASSERT_EQ(stat((dir + "/pgpass").c_str(), &pgpass), 0);
        EXPECT_EQ(pgpass.st_mode & 0777, 0600u);
        EXPECT_EQ(server.Psql("SELECT current_user || ' ' || current_database() || ' ' || "
                              "pg_encoding_to_char(encoding) FROM pg_database WHERE datname = current_database()"),
                  "corvane reporting UTF8");
        server.Psql("CREATE TABLE kept (n int); INSERT INTO kept VALUES (7)");

        const std::string connection = server.Connection();
        server.Stop();
        EXPECT_EQ(server.Pid(), -1);
        EXPECT_TRUE(ProcessGone(firstPid));
        EXPECT_THROW(server.Psql("SELECT 1"), std::runtime_error);

        server.Start();
        EXPECT_EQ(server.Connection(), connection);
        EXPECT_NE(server.Pid(), firstPid);
        EXPECT_EQ(server.Psql("SELECT n FROM kept"), "7");
        firstPid = server.Pid();
    }
    EXPECT_TRUE(ProcessGone(firstPid));
    EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace cvn::test
