// What ClickHouse's HTTP interface answers: rows in TabSeparatedWithNamesAndTypes
// read into typed values, and failures ("Code: N, e.displayText() = ...") into
// storage errors of the kind their code means.
// Thread safety: plain functions of their arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/reporting/storage/Storage.h"

namespace cvn::reporting::clickhouse {

struct Answer {
    std::vector<std::string> names;
    std::vector<std::string> types;
    std::vector<std::vector<SqlValue>> rows;
};

/// Reads a TabSeparatedWithNamesAndTypes body: integers (any width; Nullable too) as int64, floats as
/// double, \N as no value, everything else as its unescaped text. A line with another number of cells
/// than there are names (what an error appended to rows already sent looks like) throws
/// StorageError(Other) naming the line.
Answer ReadAnswer(std::string_view body);

/// The server's error code in a failure body, or 0 when it names none.
int ErrorCode(std::string_view body);

/// A failure the server answered: a storage error of the kind its code means, with that code (0: none).
class ServerError : public StorageError {
public:
    ServerError(StorageErrorKind kind, std::string message, int code)
        : StorageError(kind, std::move(message)), m_code(code)
    {
    }
    int Code() const noexcept { return m_code; }

private:
    int m_code;
};

/// The failure of an answer with the HTTP status: its kind by the server's code (the status when there
/// is none), its text the server's first line, after what (for example "the query failed on ...").
ServerError ErrorOfAnswer(int httpStatus, std::string_view body, const std::string& what);

}  // namespace cvn::reporting::clickhouse
