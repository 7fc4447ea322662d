// The PostgreSQL backend against a real server: failures by kind with where
// they happened (and never the password), values in and out, the dialect's
// times against SQLite's, interrupts that reach the server, the server's own
// statement timeout, a dropped connection, transactions and COPY.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include "tests/support/PostgresServer.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

using cvn::test::PostgresServer;

class PostgresStorage : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = new PostgresServer; }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }

    static std::unique_ptr<IConnection> Open(const StorageOpenOptions& options = {})
    {
        return OpenStorage(ParseStorageSettings("postgresql", s_server->Connection()), options);
    }
    /// Statements of the server other than the asking one, running the given text.
    static int64_t Running(const std::string& like)
    {
        return std::stoll(s_server->Psql("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND pid <> "
                                         "pg_backend_pid() AND query LIKE '" + like + "'"));
    }

    static inline PostgresServer* s_server = nullptr;
    TempDir m_dir;
};

TEST_F(PostgresStorage, FailuresToConnectNameTheServerAndDatabaseButNeverThePassword)
{
    // A port nothing listens on: bound, read and closed again.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length));
    const int closedPort = ntohs(address.sin_port);
    close(probe);

    const std::string wrong = "n0t-the-Passw0rd";
    const std::string wrongFile = m_dir.Write("pgpass", "127.0.0.1:*:*:corvane:" + wrong + "\n");
    std::filesystem::permissions(wrongFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string port = std::to_string(s_server->Port());
    const std::string base = "host=127.0.0.1 user=corvane connect_timeout=5 ";
    const struct {
        std::string connection;
        StorageErrorKind kind;
        std::vector<std::string> said;
    } cases[] = {
        {base + "port=" + port + " dbname=reporting passfile=" + wrongFile, StorageErrorKind::Unavailable,
         {"database 'reporting' at 127.0.0.1:" + port, "password authentication failed"}},
        {base + "port=" + port + " dbname=nosuch passfile=" + s_server->Dir() + "/pgpass", StorageErrorKind::Unavailable,
         {"database 'nosuch' at 127.0.0.1:" + port, "does not exist"}},
        {base + "port=" + std::to_string(closedPort) + " dbname=reporting", StorageErrorKind::Unavailable,
         {"database 'reporting' at 127.0.0.1:" + std::to_string(closedPort), "refused"}},
    };
    for (const auto& c : cases) {
        const StorageFailure failure = StorageFailureOf([&] { OpenStorage(ParseStorageSettings("postgresql", c.connection)); });
        EXPECT_EQ(c.kind, failure.kind) << failure.message;
        for (const std::string& part : c.said) EXPECT_NE(std::string::npos, failure.message.find(part)) << failure.message;
        EXPECT_EQ(std::string::npos, failure.message.find(wrong)) << failure.message;
    }
    // Refused when the settings are read, before the text is stored or shown anywhere.
    for (const auto& [text, said] : {std::pair{base + "port=" + port + " dbname=reporting password=" + wrong, "holds a password"},
                                     std::pair{"postgresql://corvane:" + wrong + "@127.0.0.1:" + port + "/reporting", "holds a password"},
                                     std::pair{"host=127.0.0.1 port=" + port + " nonsense", "is not valid"}}) {
        const auto thrown = ThrownBy([&] { ParseStorageSettings("postgresql", text); });
        EXPECT_EQ(kHrInvalidData, thrown.code);
        EXPECT_NE(std::string::npos, thrown.text.find(said)) << thrown.text;
        EXPECT_EQ(std::string::npos, thrown.text.find(wrong)) << thrown.text;
    }
}

TEST_F(PostgresStorage, ValuesComeBackAsSqliteGivesThemAndBadStatementsAreInvalid)
{
    const auto db = Open();
    const auto statement = db->Prepare("SELECT $1::bigint AS a, $2::float8 AS b, $3::text AS c, $4::text AS d, "
                                       "SUM(x) AS s, 2 > 1 AS t FROM (VALUES (9007199254740993), (1)) AS v(x)");
    const std::string text = "Gr\xC3\xBC\xC3\x9F 'quoted' \"double\" back\\slash\ttab\nline";
    statement->Bind(1, int64_t{1} << 40);
    statement->Bind(2, 2.5);
    statement->Bind(3, text);
    statement->Bind(4, std::monostate{});
    EXPECT_EQ(6u, statement->ColumnCount());
    EXPECT_EQ("c", statement->ColumnName(2));
    ASSERT_TRUE(statement->Next());
    EXPECT_EQ(SqlValue(int64_t{1} << 40), statement->Column(0));
    EXPECT_EQ(SqlValue(2.5), statement->Column(1));
    EXPECT_EQ(SqlValue(text), statement->Column(2));
    EXPECT_EQ(SqlValue(std::monostate{}), statement->Column(3));
    // SUM of bigint is numeric here: whole, it reads as the exact integer, beyond a double's reach.
    EXPECT_EQ(SqlValue(int64_t{9007199254740994}), statement->Column(4));
    EXPECT_EQ(SqlValue(int64_t{1}), statement->Column(5));
    EXPECT_FALSE(statement->Next());
    statement->Reset();
    ASSERT_TRUE(statement->Next());
    EXPECT_EQ(SqlValue(text), statement->Column(2));

    // A NUL would cut the value short and match something else: refused, as is a parameter not there.
    EXPECT_EQ(StorageErrorKind::Invalid, StorageFailureOf([&] { statement->Bind(3, std::string("a\0b", 3)); }).kind);
    EXPECT_EQ(StorageErrorKind::Invalid, StorageFailureOf([&] { statement->Bind(5, int64_t{1}); }).kind);
    const StorageFailure noTable = StorageFailureOf([&] { db->Prepare("SELECT * FROM \"NoSuchTable\""); });
    EXPECT_EQ(StorageErrorKind::Invalid, noTable.kind);
    EXPECT_NE(std::string::npos, noTable.message.find("\"NoSuchTable\" does not exist")) << noTable.message;
    EXPECT_NE(std::string::npos, noTable.message.find("42P01")) << noTable.message;
    EXPECT_EQ(StorageErrorKind::Invalid, StorageFailureOf([&] { db->Prepare("SELEC 1"); }).kind);
    EXPECT_EQ(StorageErrorKind::Invalid, StorageFailureOf([&] { db->Prepare(std::string("SELECT 1\0; DROP TABLE t", 22)); }).kind);
    const auto failing = db->Prepare("SELECT 1 / $1::int");
    failing->Bind(1, int64_t{0});
    EXPECT_EQ(StorageErrorKind::Invalid, StorageFailureOf([&] { failing->Next(); }).kind);  // division by zero
    EXPECT_EQ(SqlValue(int64_t{1}), One(*db, "SELECT 1"));  // the connection goes on
}

// The buckets the translator groups by are those of SQLite, for times on either side of 1970, any zone.
TEST_F(PostgresStorage, TimeBucketsEqualSqlitesForAnyTimeZoneAndPart)
{
    const auto pg = Open();
    const auto sqlite = OpenTestDatabase(m_dir.File("t.db"), true);
    std::mt19937_64 random(7);
    std::string pgSql = "SELECT ", sqliteSql = "SELECT ";
    int columns = 0;
    for (const char* part : {"second", "minute", "hour", "day", "month", "year"}) {
        for (int i = 0; i < 12; ++i) {
            const int64_t when = std::uniform_int_distribution<int64_t>(-2000000000, 4000000000)(random);
            const int64_t offset = std::uniform_int_distribution<int64_t>(-12 * 4, 14 * 4)(random) * 900;
            const std::string sep = columns++ ? ", " : "";
            pgSql += sep + pg->Dialect().TruncateTime(std::to_string(when), offset, part);
            sqliteSql += sep + sqlite->Dialect().TruncateTime(std::to_string(when), offset, part);
        }
    }
    const auto a = pg->Prepare(pgSql);
    const auto b = sqlite->Prepare(sqliteSql);
    ASSERT_TRUE(a->Next());
    ASSERT_TRUE(b->Next());
    for (int i = 0; i < columns; ++i) EXPECT_EQ(b->Column(i), a->Column(i)) << "column " << i;
    EXPECT_THROW(pg->Dialect().TruncateTime("x", 0, "fortnight"), StorageError);
}

TEST_F(PostgresStorage, InterruptCancelsTheStatementAtTheServerAndTheServerTimesOutItsOwn)
{
    const auto db = Open();
    const auto slow = db->Prepare("SELECT pg_sleep(60)");
    std::thread interrupter([&] {
        // Once the server runs it, so the cancel has a statement to stop.
        cvn::test::WaitUntil([&] { return Running("SELECT pg_sleep(60)") == 1; }, std::chrono::seconds(30));
        db->Interrupt();
    });
    EXPECT_EQ(StorageErrorKind::Interrupted, StorageFailureOf([&] { slow->Next(); }).kind);
    interrupter.join();
    EXPECT_EQ(0, Running("SELECT pg_sleep(%"));
    // Sticky until cleared, as on SQLite.
    EXPECT_EQ(StorageErrorKind::Interrupted, StorageFailureOf([&] { One(*db, "SELECT 1"); }).kind);
    db->ClearInterrupt();
    EXPECT_EQ(SqlValue(int64_t{1}), One(*db, "SELECT 1"));

    const auto limited = Open({.statementTimeoutMs = 100});
    EXPECT_EQ(StorageErrorKind::TimedOut, StorageFailureOf([&] { One(*limited, "SELECT pg_sleep(30)"); }).kind);
    EXPECT_EQ(SqlValue(int64_t{1}), One(*limited, "SELECT 1"));
}

TEST_F(PostgresStorage, DroppedConnectionIsUnavailableAndALockHeldTooLongIsBusy)
{
    const auto db = Open();
    const int64_t pid = std::get<int64_t>(One(*db, "SELECT pg_backend_pid()"));
    s_server->Psql("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
    EXPECT_EQ(StorageErrorKind::Unavailable, StorageFailureOf([&] { One(*db, "SELECT 1"); }).kind);
    EXPECT_EQ(StorageErrorKind::Unavailable, StorageFailureOf([&] { One(*db, "SELECT 1"); }).kind);  // stays so
    const auto again = Open();

    again->Execute("CREATE TABLE locked (x int)");
    const auto waiter = Open({.busyTimeoutMs = 50});
    again->Execute("BEGIN; LOCK TABLE locked IN ACCESS EXCLUSIVE MODE");
    EXPECT_EQ(StorageErrorKind::Busy, StorageFailureOf([&] { One(*waiter, "SELECT count(*) FROM locked"); }).kind);
    again->Execute("ROLLBACK");
    EXPECT_EQ(SqlValue(int64_t{0}), One(*waiter, "SELECT count(*) FROM locked"));

    // Every connection slot taken: busy, not unavailable.
    std::vector<std::unique_ptr<IConnection>> held;
    StorageFailure full;
    for (int i = 0; i < 200 && full.message == "(no error)"; ++i) {
        try {
            held.push_back(Open());
        } catch (const StorageError& error) {
            full = {error.Kind(), error.what()};
        }
    }
    EXPECT_EQ(StorageErrorKind::Busy, full.kind) << full.message;
}

TEST_F(PostgresStorage, TransactionsSurviveFailedProbesRefuseASpoiledCommitAndCopyLoadsExactly)
{
    const auto db = Open();
    db->Execute("CREATE TABLE t (k text PRIMARY KEY, n bigint, v text)");
    {
        Transaction transaction(*db);
        db->Execute("INSERT INTO t VALUES ('a', 1, 'x')");
        // A probe for a table that is not there leaves the transaction usable.
        EXPECT_THROW(db->Prepare("SELECT * FROM missing WHERE 1=0"), StorageError);
        const auto upsert = db->Prepare(db->Dialect().UpsertStatement("t", {"k"}, {"n", "v"}));
        for (const int64_t n : {2, 3}) {
            upsert->Reset();
            upsert->Bind(1, std::string("a"));
            upsert->Bind(2, n);
            upsert->Bind(3, std::string("y"));
            while (upsert->Next()) {
            }
        }
        transaction.Commit();
    }
    EXPECT_EQ(SqlValue(int64_t{3}), One(*db, "SELECT n FROM t WHERE k = 'a'"));
    {
        // A failed statement spoils the transaction: its COMMIT is a failure, not a silent rollback.
        Transaction transaction(*db);
        db->Execute("INSERT INTO t VALUES ('b', 1, 'x')");
        EXPECT_THROW(db->Execute("INSERT INTO t VALUES ('a', 1, 'x')"), StorageError);
        EXPECT_THROW(transaction.Commit(), StorageError);
    }
    EXPECT_EQ(SqlValue(int64_t{1}), One(*db, "SELECT count(*) FROM t"));

    // The view is made once; asking again leaves it.
    for (int i = 0; i < 2; ++i) db->Execute(db->Dialect().CreateViewIfAbsent("V'iew", "SELECT k FROM t WHERE v <> 'q'"));
    EXPECT_EQ(SqlValue(int64_t{1}), One(*db, "SELECT count(*) FROM \"V'iew\""));

    // COPY: every character a text may hold but NUL, and NULLs, come back as they went.
    const std::vector<std::string> hostile = {"tab\there", "new\nline", "back\\slash", "\\N", "\\.", "cr\rlf",
                                              "'; DROP TABLE t; --", std::string(2000, 'L') + "\xE2\x82\xAC"};
    {
        const auto writer = db->BulkInsert("t", {"k", "n", "v"});
        for (size_t i = 0; i < hostile.size(); ++i)
            writer->Add({hostile[i], static_cast<int64_t>(i), i % 2 ? SqlValue(std::monostate{}) : SqlValue(hostile[i])});
        writer->Finish();
    }
    for (size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(SqlValue(static_cast<int64_t>(i)), One(*db, "SELECT n FROM t WHERE k = $1", {hostile[i]}));
        EXPECT_EQ(i % 2 ? SqlValue(std::monostate{}) : SqlValue(hostile[i]), One(*db, "SELECT v FROM t WHERE k = $1", {hostile[i]}));
    }
    {
        // A load that stops keeps nothing of itself.
        const auto writer = db->BulkInsert("t", {"k", "n", "v"});
        writer->Add({std::string("abandoned"), int64_t{1}, std::string("x")});
        EXPECT_THROW(writer->Add({std::string("nul\0", 4), int64_t{1}, std::string("x")}), StorageError);
    }
    EXPECT_EQ(SqlValue(int64_t{0}), One(*db, "SELECT count(*) FROM t WHERE k = 'abandoned'"));
    EXPECT_EQ(SqlValue(int64_t{1 + static_cast<int64_t>(hostile.size())}), One(*db, "SELECT count(*) FROM t"));
}

}  // namespace
}  // namespace cvn::reporting::test
