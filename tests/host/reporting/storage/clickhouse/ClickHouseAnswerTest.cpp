// Rows and failures as the HTTP interface sends them: typed values, escapes,
// an error appended to rows already sent, and each failure's kind by its code.
#include <gtest/gtest.h>

#include <cmath>

#include "host/reporting/storage/clickhouse/ClickHouseAnswer.h"

namespace cvn::reporting::clickhouse {
namespace {

TEST(ClickHouseAnswer, RowsReadAsTypedValuesAndAnErrorAfterTheRowsIsNoAnswer)
{
    const Answer answer = ReadAnswer(
        "Who\tn\tshare\tmaybe\tbig\n"
        "String\tUInt64\tFloat64\tNullable(Int32)\tUInt64\n"
        "CORP\\\\ann\\ttab\\nline\\0\\'q\t42\t0.5\t\\N\t18446744073709551615\n"
        "\t0\tnan\t-7\t1\n");
    EXPECT_EQ(answer.names, (std::vector<std::string>{"Who", "n", "share", "maybe", "big"}));
    ASSERT_EQ(answer.rows.size(), 2u);
    EXPECT_EQ(answer.rows[0][0], SqlValue(std::string("CORP\\ann\ttab\nline\0'q", 20)));
    EXPECT_EQ(answer.rows[0][1], SqlValue(int64_t{42}));
    EXPECT_EQ(answer.rows[0][2], SqlValue(0.5));
    EXPECT_EQ(answer.rows[0][3], SqlValue(std::monostate{}));
    EXPECT_EQ(answer.rows[0][4], SqlValue(18446744073709551615.0));
    EXPECT_EQ(answer.rows[1][0], SqlValue(std::string()));
    EXPECT_TRUE(std::isnan(std::get<double>(answer.rows[1][2])));
    EXPECT_EQ(answer.rows[1][3], SqlValue(int64_t{-7}));
    EXPECT_TRUE(ReadAnswer("").names.empty());

    // A failure after rows went out arrives as status 200 with the error as a line of its own.
    try {
        ReadAnswer("n\ts\nUInt8\tString\n1\ta\nCode: 241, e.displayText() = DB::Exception: Memory limit exceeded\n");
        ADD_FAILURE() << "an answer ending in an error was read as rows";
    } catch (const StorageError& error) {
        EXPECT_NE(std::string(error.what()).find("line 4"), std::string::npos) << error.what();
    }
}

TEST(ClickHouseAnswer, FailuresTakeTheirKindFromTheServersCodeAndKeepItsText)
{
    const struct {
        int status;
        const char* body;
        StorageErrorKind kind;
        const char* said;
    } cases[] = {
        {500, "Code: 159, e.displayText() = DB::Exception: Timeout exceeded: elapsed 1.0 seconds, e.what() = DB::Exception\n",
         StorageErrorKind::TimedOut, "Timeout exceeded: elapsed 1.0 seconds (ClickHouse code 159)"},
        {500, "Code: 394, e.displayText() = DB::Exception: Query was cancelled, e.what() = DB::Exception",
         StorageErrorKind::Interrupted, "Query was cancelled"},
        {500, "Code: 202, e.displayText() = DB::Exception: Too many simultaneous queries. Maximum: 100",
         StorageErrorKind::Busy, "Too many simultaneous queries"},
        // The shard's own failure, which names it, comes on the lines after.
        {500, "Code: 279, e.displayText() = DB::NetException: All connection tries failed. Log: \n\nCode: 210, "
              "e.displayText() = DB::NetException: Connection refused (127.0.0.1:9002), e.what() = DB::NetException\n\n"
              ", e.what() = DB::NetException",
         StorageErrorKind::Unavailable, "All connection tries failed. Log: DB::NetException: Connection refused (127.0.0.1:9002) ("},
        {401, "Code: 193, e.displayText() = DB::Exception: Wrong password for user audit", StorageErrorKind::Unavailable,
         "Wrong password"},
        {404, "Code: 60, e.displayText() = DB::Exception: Table default.x doesn't exist.", StorageErrorKind::Invalid,
         "Table default.x doesn't exist."},
        {400, "Code: 62, e.displayText() = DB::Exception: Syntax error", StorageErrorKind::Invalid, "Syntax error"},
        {403, "Forbidden", StorageErrorKind::Unavailable, "Forbidden (HTTP 403)"},
        {502, "Bad gateway", StorageErrorKind::Other, "Bad gateway (HTTP 502)"},
    };
    for (const auto& c : cases) {
        const StorageError error = ErrorOfAnswer(c.status, c.body, "the query failed on 127.0.0.1:8123");
        EXPECT_EQ(error.Kind(), c.kind) << c.body;
        EXPECT_NE(std::string(error.what()).find(c.said), std::string::npos) << error.what();
        EXPECT_EQ(std::string(error.what()).rfind("the query failed on 127.0.0.1:8123: ", 0), 0u) << error.what();
    }
}

}  // namespace
}  // namespace cvn::reporting::clickhouse
