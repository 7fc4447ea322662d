// Rows and failures as ClickHouse's HTTP interface sends them.
#include "host/reporting/storage/clickhouse/ClickHouseAnswer.h"

#include <charconv>
#include <cstdlib>

namespace cvn::reporting::clickhouse {

namespace {

// TSV's escapes: a backslash before one of these letters stands for the byte, before anything else for
// that character itself.
std::string Unescape(std::string_view cell)
{
    std::string text;
    text.reserve(cell.size());
    for (size_t i = 0; i < cell.size(); ++i) {
        char c = cell[i];
        if (c == '\\' && i + 1 < cell.size()) {
            c = cell[++i];
            switch (c) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case '0': c = '\0'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                default: break;
            }
        }
        text += c;
    }
    return text;
}

std::vector<std::string_view> Cells(std::string_view line)
{
    std::vector<std::string_view> cells;
    size_t from = 0;
    for (;;) {
        const size_t tab = line.find('\t', from);
        cells.push_back(line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from));
        if (tab == std::string_view::npos) return cells;
        from = tab + 1;
    }
}

std::string_view Inner(std::string_view type)
{
    constexpr std::string_view nullable = "Nullable(";
    if (type.substr(0, nullable.size()) == nullable && type.back() == ')')
        return type.substr(nullable.size(), type.size() - nullable.size() - 1);
    return type;
}

SqlValue Value(std::string_view cell, std::string_view type)
{
    if (cell == "\\N") return std::monostate{};
    type = Inner(type);
    if (type.substr(0, 3) == "Int" || type.substr(0, 4) == "UInt") {
        int64_t number = 0;
        const auto [end, error] = std::from_chars(cell.data(), cell.data() + cell.size(), number);
        if (error == std::errc() && end == cell.data() + cell.size()) return number;
        return std::strtod(std::string(cell).c_str(), nullptr);  // a UInt64 past int64
    }
    if (type.substr(0, 5) == "Float") {
        if (cell == "nan" || cell == "-nan") return std::strtod("nan", nullptr);
        return std::strtod(std::string(cell).c_str(), nullptr);
    }
    return Unescape(cell);
}

StorageErrorKind KindOfCode(int code)
{
    switch (code) {
        case 159:  // timeout exceeded (max_execution_time)
            return StorageErrorKind::TimedOut;
        case 394:  // query was cancelled (KILL QUERY)
            return StorageErrorKind::Interrupted;
        case 202:  // too many simultaneous queries
        case 252:  // too many parts
            return StorageErrorKind::Busy;
        case 81:   // unknown database
        case 192:  // unknown user
        case 193:  // wrong password
        case 194:  // password required
        case 209:  // socket timeout (a shard)
        case 210:  // network error (a shard)
        case 279:  // all connection tries failed (a shard down)
            return StorageErrorKind::Unavailable;
        case 6: case 16: case 27: case 36: case 41: case 43: case 44: case 46: case 47: case 53: case 57: case 60:
        case 62: case 115: case 184: case 215:
            return StorageErrorKind::Invalid;  // parse errors, unknown names, wrong types, bad arguments
        default:
            return StorageErrorKind::Other;
    }
}

}  // namespace

Answer ReadAnswer(std::string_view body)
{
    Answer answer;
    size_t from = 0;
    size_t lineNumber = 0;
    while (from < body.size()) {
        size_t end = body.find('\n', from);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view line = body.substr(from, end - from);
        from = end + 1;
        ++lineNumber;
        std::vector<std::string_view> cells = Cells(line);
        if (lineNumber == 1) {
            for (const std::string_view cell : cells) answer.names.push_back(Unescape(cell));
            continue;
        }
        if (cells.size() != answer.names.size())
            throw StorageError(StorageErrorKind::Other, "the answer's line " + std::to_string(lineNumber) + " has " +
                                                            std::to_string(cells.size()) + " cells for " +
                                                            std::to_string(answer.names.size()) + " columns: " +
                                                            std::string(line.substr(0, 200)));
        if (lineNumber == 2) {
            for (const std::string_view cell : cells) answer.types.push_back(Unescape(cell));
            continue;
        }
        std::vector<SqlValue> row;
        row.reserve(cells.size());
        for (size_t i = 0; i < cells.size(); ++i) row.push_back(Value(cells[i], answer.types[i]));
        answer.rows.push_back(std::move(row));
    }
    if (!answer.names.empty() && answer.types.size() != answer.names.size())
        throw StorageError(StorageErrorKind::Other, "the answer names its columns but not their types");
    return answer;
}

int ErrorCode(std::string_view body)
{
    constexpr std::string_view prefix = "Code: ";
    const size_t at = body.find(prefix);
    if (at == std::string_view::npos) return 0;
    int code = 0;
    const char* begin = body.data() + at + prefix.size();
    const auto [end, error] = std::from_chars(begin, body.data() + body.size(), code);
    return error == std::errc() && end != begin ? code : 0;
}

ServerError ErrorOfAnswer(int httpStatus, std::string_view body, const std::string& what)
{
    const int code = ErrorCode(body);
    StorageErrorKind kind = KindOfCode(code);
    if (code == 0) kind = httpStatus == 401 || httpStatus == 403 ? StorageErrorKind::Unavailable : StorageErrorKind::Other;
    // "Code: 60, e.displayText() = DB::Exception: ..., e.what() = DB::Exception": the display text is the news.
    // A failure on a shard nests the shard's own failure (which names it) on the lines after.
    std::string news;
    constexpr std::string_view display = "e.displayText() = ";
    for (size_t from = 0; from < body.size() && news.size() < 500;) {
        size_t end = body.find('\n', from);
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = body.substr(from, end - from);
        from = end + 1;
        const size_t at = line.find(display);
        if (at == std::string_view::npos) {
            if (news.empty() && !line.empty()) news = std::string(line);  // no code: the body's first line
            continue;
        }
        line = line.substr(at + display.size());
        if (const size_t tail = line.rfind(", e.what() = "); tail != std::string_view::npos) line = line.substr(0, tail);
        while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
        if (!line.empty()) news += (news.empty() ? "" : " ") + std::string(line);
    }
    std::string text = what + ": " + news.substr(0, 500);
    text += code ? " (ClickHouse code " + std::to_string(code) + ")" : " (HTTP " + std::to_string(httpStatus) + ")";
    return ServerError(kind, std::move(text), code);
}

}  // namespace cvn::reporting::clickhouse
