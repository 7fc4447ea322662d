// A throw-away PostgreSQL 15 server for the tests on a real database: scripts/pg-cluster.sh
// starts a cluster of this object's own under the build folder (pg-tests/<pid>-<n>, or under
// $CORVANE_PG_TESTS_DIR; a copy of the template cluster kept in pg-template/), on 127.0.0.1 and a
// free port, without fsync.
// Thread safety: one object per test; calls from one thread at a time.
#pragma once

#include <sys/types.h>

#include <string>

namespace cvn::test {

class PostgresServer {
public:
    static constexpr const char* kStorageKind = "postgresql";

    /// Starts the cluster; std::runtime_error with the script's output when it does not start.
    PostgresServer();
    /// Stops the server and removes the cluster's folder.
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    /// libpq's connection text: host, port, dbname=reporting, user=corvane, passfile (no password).
    const std::string& Connection() const { return m_connection; }
    int Port() const { return m_port; }
    /// The server's process id while it runs, -1 after Stop().
    pid_t Pid() const { return m_pid; }
    /// The cluster's folder: data/, pgpass, password, connection, server.log.
    const std::string& Dir() const { return m_dir; }

    /// Stops the server (fast shutdown); the cluster stays.
    void Stop();
    /// Starts it again: the same port, and so the same connection text, when that port is free.
    void Start();
    /// psql -At on the database: its standard output without the last newline; a failure throws with psql's error.
    std::string Psql(const std::string& sql) const;

private:
    std::string m_dir;
    std::string m_connection;
    int m_port = 0;
    pid_t m_pid = -1;
};

}  // namespace cvn::test
