// ClickHouse's HTTP interface through cpp-httplib.
#include "host/reporting/storage/clickhouse/ClickHouseHttp.h"

#include <httplib.h>

#include <cstdlib>
#include <fstream>

namespace cvn::reporting::clickhouse {

namespace {

std::string UrlEncode(std::string_view text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return encoded;
}

std::unique_ptr<httplib::Client> MakeClient(const Endpoint& endpoint, const std::string& user,
                                            const std::string& password, int timeoutSeconds)
{
    auto client = std::make_unique<httplib::Client>(endpoint.host, endpoint.port);
    client->set_basic_auth(user, password);
    client->set_connection_timeout(5);
    client->set_read_timeout(timeoutSeconds);
    client->set_write_timeout(30);
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);
    return client;
}

}  // namespace

struct HttpClient::Server {
    std::unique_ptr<httplib::Client> client;
};

std::string ReadPassword(const ConnectionSettings& settings)
{
    if (!settings.passwordFile.empty()) {
        std::ifstream file(settings.passwordFile);
        std::string line;
        if (!file || (!std::getline(file, line) && !file.eof()))
            throw StorageError(StorageErrorKind::Unavailable,
                               "cannot read the ClickHouse password file '" + settings.passwordFile + "'");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    const char* password = std::getenv("CLICKHOUSE_PASSWORD");
    return password ? password : "";
}

HttpClient::HttpClient(ConnectionSettings settings, std::string password, int timeoutSeconds)
    : m_settings(std::move(settings)), m_password(std::move(password)), m_timeoutSeconds(timeoutSeconds)
{
    for (const Endpoint& endpoint : m_settings.hosts)
        m_servers.push_back(std::make_unique<Server>(Server{MakeClient(endpoint, m_settings.user, m_password, m_timeoutSeconds)}));
}

HttpClient::~HttpClient() = default;

std::string HttpClient::Where(size_t server) const
{
    const Endpoint& endpoint = m_settings.hosts.at(server);
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

Answer HttpClient::Run(size_t server, const std::string& sql, const std::string& queryId, const QuerySettings& settings)
{
    std::string path = "/?database=" + UrlEncode(m_settings.database) + "&query_id=" + UrlEncode(queryId) +
                       "&wait_end_of_query=1&default_format=TabSeparatedWithNamesAndTypes";
    for (const auto& [name, value] : settings) path += "&" + UrlEncode(name) + "=" + UrlEncode(value);
    const auto result = m_servers.at(server)->client->Post(path, sql, "text/plain; charset=utf-8");
    const std::string what = "the statement failed on ClickHouse at " + Where(server) + " (database '" +
                             m_settings.database + "', user " + m_settings.user + ")";
    if (!result) {
        const std::string text = what + ": " + httplib::to_string(result.error());
        if (result.error() == httplib::Error::Connection) throw Unreachable(StorageErrorKind::Unavailable, text);
        throw StorageError(StorageErrorKind::Unavailable, text);
    }
    if (result->status != 200) throw ErrorOfAnswer(result->status, result->body, what);
    return ReadAnswer(result->body);
}

void HttpClient::Kill(size_t server, const std::string& queryId) noexcept
{
    try {
        // A connection of its own: the statement's holds its client until it ends.
        const auto client = MakeClient(m_settings.hosts.at(server), m_settings.user, m_password, 30);
        client->Post("/?wait_end_of_query=1", "KILL QUERY WHERE query_id = " + QuoteString(queryId) + " SYNC",
                     "text/plain; charset=utf-8");
    } catch (...) {
    }
}

}  // namespace cvn::reporting::clickhouse
