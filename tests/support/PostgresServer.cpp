// The throw-away server through scripts/pg-cluster.sh.
#include "tests/support/PostgresServer.h"

#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tests/support/ClusterScript.h"

namespace cvn::test {

namespace {

const std::filesystem::path kBuildDir = std::filesystem::path(CORVANE_BIN_DIR).parent_path();

// pg-cluster.sh with this build folder's own template.
ScriptRun RunScript(const std::vector<std::string>& args, std::chrono::seconds deadline)
{
    return RunClusterScript("pg-cluster.sh", args, deadline, {"CORVANE_PG_TEMPLATE=" + (kBuildDir / "pg-template").string()});
}

std::string LastLine(std::string text)
{
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

void StopAndRemove(const std::string& dir)
{
    StopAndRemoveCluster("pg-cluster.sh", dir, {"CORVANE_PG_TEMPLATE=" + (kBuildDir / "pg-template").string()});
}

}  // namespace

// CORVANE_PG_TESTS_DIR may name a tmpfs: a cluster is some 1300 files, slow to create on a busy disk.
PostgresServer::PostgresServer() : m_dir(UniqueClusterDir("CORVANE_PG_TESTS_DIR", "pg-tests"))
{
    // A folder of the same name is left from an earlier process that had this pid and died.
    StopAndRemove(m_dir);
    try {
        Start();
    } catch (...) {
        StopAndRemove(m_dir);
        throw;
    }
}

PostgresServer::~PostgresServer() { StopAndRemove(m_dir); }

void PostgresServer::Start()
{
    // The first run on a machine may install the packages and make the template.
    const ScriptRun run = RunScript({"start", "--no-fsync", m_dir}, std::chrono::seconds(240));
    const std::string connection = LastLine(run.out);
    const size_t port = connection.find(" port=");
    if (run.exitCode != 0 || connection.rfind("host=", 0) != 0 || port == std::string::npos)
        throw std::runtime_error(ScriptFailure("pg-cluster.sh start " + m_dir, run));
    m_connection = connection;
    m_port = std::stoi(connection.substr(port + 6));
    std::ifstream pidFile(m_dir + "/data/postmaster.pid");
    if (!(pidFile >> m_pid)) throw std::runtime_error("no server pid in " + m_dir + "/data/postmaster.pid");
}

void PostgresServer::Stop()
{
    const ScriptRun run = RunScript({"stop", m_dir}, std::chrono::seconds(60));
    if (run.exitCode != 0) throw std::runtime_error(ScriptFailure("pg-cluster.sh stop " + m_dir, run));
    m_pid = -1;
}

std::string PostgresServer::Psql(const std::string& sql) const
{
    const ScriptRun run =
        RunScript({"psql", m_dir, "-X", "-At", "-v", "ON_ERROR_STOP=1", "-c", sql}, std::chrono::seconds(60));
    if (run.exitCode != 0) throw std::runtime_error(ScriptFailure("psql " + sql, run));
    std::string out = run.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace cvn::test
