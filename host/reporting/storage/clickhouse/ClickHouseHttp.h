// Statements to ClickHouse over its HTTP interface: each a POST with its own
// query id, the user by basic authentication, the answer held back until the
// statement has finished (so a late failure is a failure, not rows with an
// error after them) and read as typed rows. A statement is stopped by KILL
// QUERY with its id from another connection: a client that goes away does not
// stop it.
// Thread safety: Run on one thread at a time per client; Kill from any thread.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/reporting/storage/clickhouse/ClickHouseAnswer.h"
#include "host/reporting/storage/clickhouse/ClickHouseSql.h"

namespace cvn::reporting::clickhouse {

/// The password the settings point to: the first line of password_file, else CLICKHOUSE_PASSWORD, else
/// none. Throws StorageError(Unavailable) naming the file (never its content) when it cannot be read.
std::string ReadPassword(const ConnectionSettings& settings);

/// No answer at all: the server could not be connected to, so the statement never reached it.
class Unreachable : public StorageError {
public:
    using StorageError::StorageError;
};

/// Settings sent with one statement, e.g. {"max_execution_time", "30"}.
using QuerySettings = std::vector<std::pair<std::string, std::string>>;

class HttpClient {
public:
    HttpClient(ConnectionSettings settings, std::string password, int timeoutSeconds = 300);
    ~HttpClient();

    size_t Servers() const noexcept { return m_settings.hosts.size(); }
    /// "127.0.0.1:8123" of a server, for messages.
    std::string Where(size_t server) const;

    /// Runs the statement on the server with the id and settings, the answer as rows (none for
    /// statements without results). Throws Unreachable when no connection could be made, StorageError
    /// (Unavailable) when the answer is lost, ServerError by the server's code (ErrorOfAnswer).
    Answer Run(size_t server, const std::string& sql, const std::string& queryId, const QuerySettings& settings = {});

    /// Stops the statement with the id on the server where it runs (its parts on other shards end with
    /// it); waits until it has ended. Failures are swallowed: the statement then ends at its time limit.
    void Kill(size_t server, const std::string& queryId) noexcept;

private:
    struct Server;
    ConnectionSettings m_settings;
    std::string m_password;
    int m_timeoutSeconds;
    std::vector<std::unique_ptr<Server>> m_servers;
};

}  // namespace cvn::reporting::clickhouse
