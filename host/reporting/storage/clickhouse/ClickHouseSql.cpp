// Literals, placeholders and the connection text for ClickHouse.
#include "host/reporting/storage/clickhouse/ClickHouseSql.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace cvn::reporting::clickhouse {

namespace {

// A placeholder number beyond this is a typo, not a statement of ours.
constexpr size_t kMaxPlaceholder = 100000;

[[noreturn]] void Invalid(const std::string& message) { throw StorageError(StorageErrorKind::Invalid, message); }

/// Calls found(number, begin, end) for every placeholder outside literals, names and comments, and
/// name(begin, end) for every name in backquotes.
template <class Found, class Name>
void Scan(std::string_view sql, Found&& found, Name&& name)
{
    if (sql.find('\0') != std::string_view::npos) Invalid("the statement holds a NUL byte");
    size_t i = 0;
    const auto skipQuoted = [&](char quote, const char* what) {
        // Past the opening quote; a backslash escapes the next byte, a doubled quote is one quote.
        for (++i; i < sql.size(); ++i) {
            if (sql[i] == '\\') {
                ++i;
            } else if (sql[i] == quote) {
                if (i + 1 < sql.size() && sql[i + 1] == quote) {
                    ++i;
                } else {
                    ++i;
                    return;
                }
            }
        }
        Invalid(std::string("the statement leaves a ") + what + " open");
    };
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'') {
            skipQuoted('\'', "string literal");
        } else if (c == '"') {
            skipQuoted('"', "quoted name");
        } else if (c == '`') {
            const size_t begin = i;
            skipQuoted('`', "quoted name");
            name(begin, i);
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            const size_t end = sql.find('\n', i);
            i = end == std::string_view::npos ? sql.size() : end + 1;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            const size_t end = sql.find("*/", i + 2);
            if (end == std::string_view::npos) Invalid("the statement leaves a comment open");
            i = end + 2;
        } else if (c == '$' && i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
            size_t end = i + 1;
            while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') ++end;
            size_t number = 0;
            const auto [stop, error] = std::from_chars(sql.data() + i + 1, sql.data() + end, number);
            if (error != std::errc() || stop != sql.data() + end || number == 0 || number > kMaxPlaceholder)
                Invalid("the statement has a placeholder out of range: " + std::string(sql.substr(i, end - i)));
            found(number, i, end);
            i = end;
        } else {
            ++i;
        }
    }
}

template <class Found>
void ScanPlaceholders(std::string_view sql, Found&& found)
{
    Scan(sql, found, [](size_t, size_t) {});
}

bool ParsePort(std::string_view text, int& port)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port > 0 && port < 65536;
}

// The connection text's settings, or the problem with it.
std::string Parse(std::string_view text, ConnectionSettings& settings)
{
    bool hostsGiven = false;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i == text.size()) break;
        size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        const std::string_view pair = text.substr(i, end - i);
        i = end;
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0)
            return "the ClickHouse connection text has '" + std::string(pair.substr(0, 40)) + "' where key=value belongs";
        const std::string_view key = pair.substr(0, equals);
        const std::string value(pair.substr(equals + 1));
        if (key == "password")
            return "the ClickHouse connection text holds a password, and that text is logged: name a file with "
                   "password_file=... or set CLICKHOUSE_PASSWORD instead";
        if (key == "hosts") {
            hostsGiven = true;
            size_t from = 0;
            while (from <= value.size()) {
                size_t comma = value.find(',', from);
                if (comma == std::string::npos) comma = value.size();
                const std::string_view item = std::string_view(value).substr(from, comma - from);
                const size_t colon = item.rfind(':');
                Endpoint endpoint;
                if (colon == std::string_view::npos || colon == 0 || !ParsePort(item.substr(colon + 1), endpoint.port))
                    return "the ClickHouse host '" + std::string(item) + "' is not host:port";
                endpoint.host = std::string(item.substr(0, colon));
                if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']')
                    endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
                settings.hosts.push_back(endpoint);
                from = comma + 1;
            }
        } else if (key == "user") {
            settings.user = value;
        } else if (key == "password_file") {
            settings.passwordFile = value;
        } else if (key == "cluster") {
            settings.cluster = value;
        } else if (key == "database") {
            settings.database = value;
        } else {
            return "the ClickHouse connection text has an unknown key '" + std::string(key.substr(0, 40)) +
                   "' (known: hosts, user, password_file, cluster, database)";
        }
        if (value.empty() && key != "password_file") return "the ClickHouse connection text gives " + std::string(key) + " no value";
    }
    if (!hostsGiven) return "the ClickHouse connection text names no hosts (hosts=HOST:PORT[,HOST:PORT...])";
    return {};
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text)
{
    for (const char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\'': out += "\\'"; break;
            case '\0': out += "\\0"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default: out += c;
        }
    }
}

std::string QuoteString(std::string_view value)
{
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '\'';
    AppendEscaped(quoted, value);
    quoted += '\'';
    return quoted;
}

std::string Literal(const SqlValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value)) {
        // In parentheses when negative: "x - $1" must not become "x --5", a comment.
        return *number < 0 ? "(" + std::to_string(*number) + ")" : std::to_string(*number);
    }
    if (const auto* real = std::get_if<double>(&value)) {
        if (std::isnan(*real)) return "nan";
        if (std::isinf(*real)) return *real > 0 ? "inf" : "(-inf)";
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", *real);
        return *real < 0 ? "(" + std::string(text) + ")" : std::string(text);
    }
    if (const auto* text = std::get_if<std::string>(&value)) return QuoteString(*text);
    return "NULL";
}

std::string BindValues(std::string_view sql, const std::vector<SqlValue>& values)
{
    std::string bound;
    size_t copied = 0;
    ScanPlaceholders(sql, [&](size_t number, size_t begin, size_t end) {
        if (number > values.size())
            Invalid("placeholder $" + std::to_string(number) + " has no value; " + std::to_string(values.size()) +
                    " were bound");
        bound.append(sql.substr(copied, begin - copied));
        bound += Literal(values[number - 1]);
        copied = end;
    });
    bound.append(sql.substr(copied));
    return bound;
}

size_t CountPlaceholders(std::string_view sql)
{
    size_t highest = 0;
    ScanPlaceholders(sql, [&](size_t number, size_t, size_t) { highest = std::max(highest, number); });
    return highest;
}

std::string Requalify(std::string_view sql, std::string_view from, std::string_view to)
{
    std::string renamed;
    size_t copied = 0;
    Scan(sql, [](size_t, size_t, size_t) {}, [&](size_t begin, size_t end) {
        if (sql.substr(begin, end - begin) != from || end >= sql.size() || sql[end] != '.') return;
        renamed.append(sql.substr(copied, begin - copied));
        renamed += to;
        copied = end;
    });
    renamed.append(sql.substr(copied));
    return renamed;
}

std::string ConnectionProblem(std::string_view text)
{
    ConnectionSettings settings;
    return Parse(text, settings);
}

ConnectionSettings ParseConnection(std::string_view text)
{
    ConnectionSettings settings;
    const std::string problem = Parse(text, settings);
    if (!problem.empty()) Invalid(problem);
    return settings;
}

}  // namespace cvn::reporting::clickhouse
