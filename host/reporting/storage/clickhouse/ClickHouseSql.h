// SQL text for ClickHouse, which (in the version we run) takes no query
// parameters: every value becomes a literal here, through one escaping
// function for strings and typed formatting for the rest, and placeholders
// ($1, $2, ...) are replaced outside strings, quoted names and comments only.
// The connection text names the servers, the user, where the password is,
// the cluster and the database.
// Thread safety: plain functions of their arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/reporting/storage/Storage.h"

namespace cvn::reporting::clickhouse {

/// The text with backslash and quote escaped and NUL, newline, tab, carriage return, backspace and form
/// feed written as escapes, as both string literals and TabSeparated cells read them.
void AppendEscaped(std::string& out, std::string_view text);

/// The value as a string literal: in quotes, with backslash and quote escaped (both mandatory) and NUL,
/// newline, tab, carriage return, backspace and form feed written as escapes. Other bytes pass as they
/// are, so any text (and any UTF-8) reads back byte for byte.
std::string QuoteString(std::string_view value);

/// A literal of the value: an integer in decimal, a real in the shortest form that reads back exactly
/// (nan, inf, -inf as ClickHouse spells them), text by QuoteString, NULL for no value.
std::string Literal(const SqlValue& value);

/// The statement with every placeholder $N (N from 1) outside string literals, quoted names and comments
/// replaced by Literal(values[N-1]). Throws StorageError(Invalid) for a placeholder without a value, a
/// string, quoted name or comment left open, or a statement holding a NUL byte.
std::string BindValues(std::string_view sql, const std::vector<SqlValue>& values);

/// The highest placeholder number in the statement (0: none), counted as BindValues finds them.
size_t CountPlaceholders(std::string_view sql);

/// The statement with every qualifier `from` (a name in backquotes, as written, followed by a dot) outside
/// literals and comments replaced by `to`: a materialized view of this version knows its table only by
/// its name. Throws as BindValues for a statement it cannot read.
std::string Requalify(std::string_view sql, std::string_view from, std::string_view to);

struct Endpoint {
    std::string host;
    int port = 0;
};

struct ConnectionSettings {
    std::vector<Endpoint> hosts;  ///< the servers, one per shard; statements go to the first that answers
    std::string user = "default";
    std::string passwordFile;      ///< a file whose first line is the password; empty: CLICKHOUSE_PASSWORD or none
    std::string cluster;           ///< the cluster the Distributed tables span (remote_servers)
    std::string database = "default";
};

/// Why the connection text cannot serve, or empty. Its form: space-separated key=value pairs,
/// `hosts=H:P[,H:P...]` (required), `user=`, `password_file=`, `cluster=`, `database=`. A password in
/// the text itself is refused: the text is logged.
std::string ConnectionProblem(std::string_view text);

/// The settings of a text ConnectionProblem accepts; throws StorageError(Invalid) naming the problem.
ConnectionSettings ParseConnection(std::string_view text);

}  // namespace cvn::reporting::clickhouse
