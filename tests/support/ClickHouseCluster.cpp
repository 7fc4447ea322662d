// The throw-away cluster through scripts/ch-cluster.sh.
#include "tests/support/ClickHouseCluster.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tests/support/ClusterScript.h"

namespace cvn::test {

namespace {

const std::filesystem::path kBuildDir = std::filesystem::path(CORVANE_BIN_DIR).parent_path();

ScriptRun RunScript(const std::vector<std::string>& args, std::chrono::seconds deadline)
{
    return RunClusterScript("ch-cluster.sh", args, deadline);
}

void Check(const ScriptRun& run, const std::string& what)
{
    if (run.exitCode != 0) throw std::runtime_error(ScriptFailure(what, run));
}

int Index(int n)
{
    if (n != 1 && n != 2) throw std::invalid_argument("no shard " + std::to_string(n) + ": shards are 1 and 2");
    return n - 1;
}

std::string Shard(int n) { return std::to_string(Index(n) + 1); }

void StopAndRemove(const std::string& dir) { StopAndRemoveCluster("ch-cluster.sh", dir); }

}  // namespace

ClickHouseCluster::ClickHouseCluster() : m_dir(UniqueClusterDir("CORVANE_CH_TESTS_DIR", "ch-tests"))
{
    // A folder of the same name is left from an earlier process that had this pid and died.
    StopAndRemove(m_dir);
    try {
        // The first run on a machine may install the packages (some seconds).
        Check(RunScript({"start", m_dir}, std::chrono::seconds(240)), "ch-cluster.sh start " + m_dir);
        ReadState(1);
        ReadState(2);
    } catch (...) {
        StopAndRemove(m_dir);
        throw;
    }
}

ClickHouseCluster::~ClickHouseCluster()
{
    for (int n : {1, 2}) {
        if (!m_frozen[Index(n)]) continue;
        try {
            ThawShard(n);
        } catch (const std::exception&) {
            // The script's stop sends SIGCONT too.
        }
    }
    StopAndRemove(m_dir);
}

// The connection text and shard n's pid, as a start left them.
void ClickHouseCluster::ReadState(int n)
{
    std::ifstream connection(m_dir + "/connection");
    if (!std::getline(connection, m_connection)) throw std::runtime_error("no " + m_dir + "/connection");
    size_t at = 0;
    for (int& port : m_httpPorts) {
        at = m_connection.find("127.0.0.1:", at);
        if (at == std::string::npos) throw std::runtime_error("no host:port in " + m_connection);
        at += 10;
        port = std::atoi(m_connection.c_str() + at);
    }
    const std::string pidPath = m_dir + "/s" + Shard(n) + "/pid";
    std::ifstream pidFile(pidPath);
    if (!(pidFile >> m_pids[Index(n)])) throw std::runtime_error("no server pid in " + pidPath);
}

int ClickHouseCluster::HttpPort(int n) const { return m_httpPorts[Index(n)]; }

pid_t ClickHouseCluster::Pid(int n) const { return m_pids[Index(n)]; }

void ClickHouseCluster::StopShard(int n)
{
    Check(RunScript({"stop-shard", m_dir, Shard(n)}, std::chrono::seconds(60)), "ch-cluster.sh stop-shard");
    m_pids[Index(n)] = -1;
    m_frozen[Index(n)] = false;
}

void ClickHouseCluster::StartShard(int n)
{
    Check(RunScript({"start-shard", m_dir, Shard(n)}, std::chrono::seconds(120)), "ch-cluster.sh start-shard");
    ReadState(n);
}

void ClickHouseCluster::FreezeShard(int n)
{
    Check(RunScript({"freeze-shard", m_dir, Shard(n)}, std::chrono::seconds(60)), "ch-cluster.sh freeze-shard");
    m_frozen[Index(n)] = true;
}

void ClickHouseCluster::ThawShard(int n)
{
    Check(RunScript({"thaw-shard", m_dir, Shard(n)}, std::chrono::seconds(60)), "ch-cluster.sh thaw-shard");
    m_frozen[Index(n)] = false;
}

std::string ClickHouseCluster::Client(int n, const std::string& sql) const
{
    const ScriptRun run =
        RunScript({"client", m_dir, Shard(n), "--multiquery", "--query=" + sql}, std::chrono::seconds(60));
    Check(run, "clickhouse-client on shard " + std::to_string(n) + ": " + sql);
    std::string out = run.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace cvn::test
