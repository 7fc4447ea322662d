// A throw-away two-shard ClickHouse 18.16 cluster for the tests on a real ClickHouse: scripts/ch-cluster.sh
// starts two servers of this object's own under the build folder (ch-tests/<pid>-<n>, or under
// $CORVANE_CH_TESTS_DIR), on 127.0.0.1 and free ports, forming the cluster audit_cluster.
// Shards are numbered 1 and 2, as in the script.
// Thread safety: one object per test; calls from one thread at a time.
#pragma once

#include <sys/types.h>

#include <string>

namespace cvn::test {

class ClickHouseCluster {
public:
    static constexpr const char* kStorageKind = "clickhouse";

    /// Starts both servers; std::runtime_error with the script's output when they do not start.
    ClickHouseCluster();
    /// Thaws a frozen server, stops both and removes the cluster's folder.
    ~ClickHouseCluster();
    ClickHouseCluster(const ClickHouseCluster&) = delete;
    ClickHouseCluster& operator=(const ClickHouseCluster&) = delete;

    /// The storage backend's connection text: "hosts=127.0.0.1:HTTP1,127.0.0.1:HTTP2 user=audit
    /// password_file=<dir>/password cluster=audit_cluster database=default" (no password in it).
    const std::string& Connection() const { return m_connection; }
    /// Shard n's HTTP port.
    int HttpPort(int n) const;
    /// Shard n's server process id while it runs, -1 while it is stopped.
    pid_t Pid(int n) const;
    /// The cluster's folder: password, connection, ports, s1/ and s2/ (config, data, log).
    const std::string& Dir() const { return m_dir; }

    /// Stops shard n's server; its data stays.
    void StopShard(int n);
    /// Starts it again, on the same ports when they are free (else the connection text changes).
    void StartShard(int n);
    /// SIGSTOP: the server keeps its connections but answers nothing, as a hung machine would.
    void FreezeShard(int n);
    void ThawShard(int n);
    /// clickhouse-client --multiquery on shard n: its standard output without the last newline; a failure
    /// (or no answer within a minute) throws with the client's error.
    std::string Client(int n, const std::string& sql) const;

private:
    void ReadState(int n);

    std::string m_dir;
    std::string m_connection;
    int m_httpPorts[2] = {0, 0};
    pid_t m_pids[2] = {-1, -1};
    bool m_frozen[2] = {false, false};
};

}  // namespace cvn::test
