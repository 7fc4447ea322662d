// Values as ClickHouse literals, placeholders bound only where they are
// placeholders, and the connection text: no value can end its literal early or
// become SQL, whatever bytes it holds.
#include <gtest/gtest.h>

#include <random>

#include "host/reporting/storage/clickhouse/ClickHouseSql.h"

namespace cvn::reporting::clickhouse {
namespace {

// The text a string literal stands for, read as the server reads it (a backslash takes the next byte).
std::string Unquote(std::string_view literal)
{
    EXPECT_TRUE(literal.size() >= 2 && literal.front() == '\'' && literal.back() == '\'') << literal;
    std::string text;
    for (size_t i = 1; i + 1 < literal.size(); ++i) {
        char c = literal[i];
        if (c == '\'') ADD_FAILURE() << "an unescaped quote inside " << literal;
        if (c == '\\') {
            c = literal[++i];
            c = c == '0' ? '\0' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'b' ? '\b' : c == 'f' ? '\f' : c;
        }
        text += c;
    }
    return text;
}

TEST(ClickHouseSql, EveryValueBecomesOneLiteralThatReadsBackExactly)
{
    const std::pair<SqlValue, std::string> cases[] = {
        {int64_t{42}, "42"},
        {int64_t{-5}, "(-5)"},  // never "--5" after a minus
        {INT64_MIN, "(-9223372036854775808)"},
        {2.5, "2.5"},
        {-0.1, "(-0.10000000000000001)"},
        {std::monostate{}, "NULL"},
        {std::string("O'Brien \\ \"x\""), R"('O\'Brien \\ "x"')"},
        {std::string("a\0b\nc\td\re", 9), R"('a\0b\nc\td\re')"},
        {std::string("$1 -- /* '"), R"('$1 -- /* \'')"},
    };
    for (const auto& [value, literal] : cases) EXPECT_EQ(Literal(value), literal);

    // Any bytes at all, bound into a statement: one closed literal, no placeholder left, the same bytes back.
    std::mt19937 random(18);
    const std::string alphabet = std::string("'\"\\$`-/*\n\r\t\b\f x1\xE2\x82\xAC", 18) + std::string(1, '\0');
    for (int round = 0; round < 300; ++round) {
        std::string value(std::uniform_int_distribution<size_t>(0, round < 299 ? 40 : 300000)(random), ' ');
        for (char& c : value) c = round % 2 ? alphabet[random() % alphabet.size()] : static_cast<char>(random() % 256);
        const std::string bound = BindValues("SELECT $1 WHERE x = $1", {value});
        EXPECT_EQ(CountPlaceholders(bound), 0u);
        const size_t start = bound.find('\''), end = bound.find(" WHERE x = '");
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(Unquote(std::string_view(bound).substr(start, end - start)), value);
    }
}

TEST(ClickHouseSql, PlaceholdersAndQualifiersAreFoundOutsideLiteralsNamesAndCommentsOnly)
{
    const std::vector<SqlValue> values{int64_t{1}, std::string("two"), int64_t{3}, int64_t{4}, int64_t{5},
                                       int64_t{6}, int64_t{7}, int64_t{8}, int64_t{9}, int64_t{10}};
    const std::pair<const char*, const char*> cases[] = {
        {"SELECT $1, $2, $10", "SELECT 1, 'two', 10"},
        {"SELECT '$1', \"$1\", `$1`, $1", "SELECT '$1', \"$1\", `$1`, 1"},
        {"SELECT 'it\\'s $1', 'it''s $1', $2", "SELECT 'it\\'s $1', 'it''s $1', 'two'"},
        {"SELECT \"a\"\"$1\", $3 -- $1\n, $4 /* $1 */", "SELECT \"a\"\"$1\", 3 -- $1\n, 4 /* $1 */"},
        {"SELECT $ 1, x$, $1", "SELECT $ 1, x$, 1"},
    };
    for (const auto& [sql, bound] : cases) EXPECT_EQ(BindValues(sql, values), bound) << sql;
    EXPECT_EQ(CountPlaceholders("SELECT $3, '$9', $1"), 3u);
    // Qualifiers are renamed by the same reading: not inside literals or other names, not without the dot.
    EXPECT_EQ(Requalify("`t`.`a` = '`t`.b' AND `t` = `t`.`c` AND `x\\`t`.`d` -- `t`.e", "`t`", "`R`"),
              "`R`.`a` = '`t`.b' AND `t` = `R`.`c` AND `x\\`t`.`d` -- `t`.e");

    for (const std::string& sql : std::vector<std::string>{"SELECT $11", "SELECT 'open $1", "SELECT \"open", "SELECT /* open",
                                                          "SELECT $0", "SELECT $99999999999999999999",
                                                          std::string("SELECT 1\0 $1", 12)}) {
        try {
            BindValues(sql, values);
            ADD_FAILURE() << "bound: " << sql;
        } catch (const StorageError& error) {
            EXPECT_EQ(error.Kind(), StorageErrorKind::Invalid) << error.what();
        }
    }
}

TEST(ClickHouseSql, ConnectionTextNamesServersAndWhereThePasswordIsButNeverThePassword)
{
    const ConnectionSettings settings = ParseConnection(
        "hosts=127.0.0.1:8123,[::1]:8124  user=audit password_file=/srv/ch/password cluster=audit_cluster database=r");
    ASSERT_EQ(settings.hosts.size(), 2u);
    EXPECT_EQ(settings.hosts[0].host, "127.0.0.1");
    EXPECT_EQ(settings.hosts[0].port, 8123);
    EXPECT_EQ(settings.hosts[1].host, "::1");
    EXPECT_EQ(settings.user, "audit");
    EXPECT_EQ(settings.passwordFile, "/srv/ch/password");
    EXPECT_EQ(settings.cluster, "audit_cluster");
    EXPECT_EQ(settings.database, "r");

    const std::pair<const char*, const char*> refused[] = {
        {"hosts=h:8123 password=s3cret", "holds a password"},
        {"user=audit", "names no hosts"},
        {"hosts=h", "is not host:port"},
        {"hosts=h:0", "is not host:port"},
        {"hosts=h:8123,", "is not host:port"},
        {"hosts=h:8123 colour=blue", "unknown key 'colour'"},
        {"hosts=h:8123 stray", "where key=value belongs"},
        {"hosts=h:8123 user=", "gives user no value"},
    };
    for (const auto& [text, said] : refused) {
        const std::string problem = ConnectionProblem(text);
        EXPECT_NE(problem.find(said), std::string::npos) << text << ": " << problem;
        EXPECT_EQ(problem.find("s3cret"), std::string::npos) << problem;
        EXPECT_THROW(ParseConnection(text), StorageError);
    }
}

}  // namespace
}  // namespace cvn::reporting::clickhouse
