// The storage door (kinds and settings) and the SQLite backend: failures by kind (unavailable, busy, interrupted,
// invalid), values in and out, the dialect's expressions, and the schema with
// the indexes that the two retrieve methods' queries use.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

// Runs for many seconds unless interrupted.
constexpr const char* kSlowSql = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000000) "
                                 "SELECT count(*) FROM c";

StorageErrorKind KindOf(const std::function<void()>& action) { return StorageFailureOf(action).kind; }

class SqliteStorage : public ::testing::Test {
protected:
    TempDir m_dir;
    const std::unique_ptr<IConnection> m_db = OpenTestDatabase(m_dir.File("r.db"), true);
};

TEST_F(SqliteStorage, MissingFileDirectoryAndNonDatabaseAreUnavailable)
{
    EXPECT_EQ(StorageErrorKind::Unavailable, KindOf([&] { OpenTestDatabase(m_dir.File("missing.db"), false); }));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("missing.db"))) << "opening without create made the file";
    EXPECT_EQ(StorageErrorKind::Unavailable, KindOf([&] { OpenTestDatabase(m_dir.File(""), false); }));
    const std::string text = m_dir.Write("notes.db", std::string(4096, 'x'));
    const StorageFailure notDatabase = StorageFailureOf([&] { OpenTestDatabase(text, false); });
    EXPECT_EQ(StorageErrorKind::Unavailable, notDatabase.kind);
    EXPECT_NE(std::string::npos, notDatabase.message.find("notes.db")) << notDatabase.message;
}

TEST_F(SqliteStorage, LockedDatabaseIsBusyAfterTheTimeout)
{
    const std::string path = m_dir.File("small.db");
    MakeSmallDatabase(path);
    const auto waiter = OpenTestDatabase(path, false, 50);
    const auto holder = OpenTestDatabase(path, false);
    holder->Execute("BEGIN EXCLUSIVE");
    EXPECT_EQ(StorageErrorKind::Busy, KindOf([&] { One(*waiter, "SELECT count(*) FROM AuditRecords"); }));
    EXPECT_EQ(StorageErrorKind::Busy, KindOf([&] { OpenTestDatabase(path, false, 0); }));
    holder->Execute("ROLLBACK");
    EXPECT_EQ(SqlValue(int64_t{5}), One(*waiter, "SELECT count(*) FROM AuditRecords"));  // the same connection recovers
}

TEST_F(SqliteStorage, InterruptStopsARunningStatementAndStaysUntilCleared)
{
    const auto slow = m_db->Prepare(kSlowSql);
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_db->Interrupt();
    });
    EXPECT_EQ(StorageErrorKind::Interrupted, KindOf([&] { slow->Next(); }));
    interrupter.join();

    // Sticky: an interrupt that lands before a statement starts is not lost.
    EXPECT_EQ(StorageErrorKind::Interrupted, KindOf([&] { One(*m_db, "SELECT 1"); }));
    EXPECT_EQ(StorageErrorKind::Interrupted, KindOf([&] { m_db->Execute("CREATE TABLE t (x)"); }));
    m_db->ClearInterrupt();
    EXPECT_EQ(SqlValue(int64_t{1}), One(*m_db, "SELECT 1"));
}

TEST_F(SqliteStorage, ValuesKeepTheirTypesResetKeepsBindingsAndBadStatementsAreInvalidAndNamed)
{
    const auto statement = m_db->Prepare("SELECT ?1 AS a, ?2 AS b, ?3 AS c, ?4 AS d");
    statement->Bind(1, int64_t{1} << 40);
    statement->Bind(2, 2.5);
    const std::string text("Gr\xC3\xBC\xC3\x9F\0x", 8);  // UTF-8 and an embedded NUL survive
    statement->Bind(3, text);
    statement->Bind(4, std::monostate{});
    ASSERT_TRUE(statement->Next());
    EXPECT_EQ(4u, statement->ColumnCount());
    EXPECT_EQ("c", statement->ColumnName(2));
    EXPECT_EQ(SqlValue(int64_t{1} << 40), statement->Column(0));
    EXPECT_EQ(SqlValue(2.5), statement->Column(1));
    EXPECT_EQ(SqlValue(text), statement->Column(2));
    EXPECT_EQ(SqlValue(std::monostate{}), statement->Column(3));
    EXPECT_FALSE(statement->Next());
    statement->Reset();
    ASSERT_TRUE(statement->Next());
    EXPECT_EQ(SqlValue(int64_t{1} << 40), statement->Column(0));
    EXPECT_EQ(StorageErrorKind::Invalid, KindOf([&] { statement->Bind(0, int64_t{1}); }));
    EXPECT_EQ(StorageErrorKind::Invalid, KindOf([&] { statement->Bind(5, int64_t{1}); }));

    const StorageFailure noTable = StorageFailureOf([&] { m_db->Prepare("SELECT * FROM NoSuchTable"); });
    EXPECT_EQ(StorageErrorKind::Invalid, noTable.kind);
    EXPECT_NE(std::string::npos, noTable.message.find("no such table: NoSuchTable")) << noTable.message;
    EXPECT_NE(std::string::npos, noTable.message.find("in: SELECT * FROM NoSuchTable")) << noTable.message;
    EXPECT_EQ(StorageErrorKind::Invalid, KindOf([&] { m_db->Prepare("SELEC 1"); }));
    EXPECT_EQ(StorageErrorKind::Invalid, KindOf([&] { m_db->Prepare("   "); }));
}

TEST_F(SqliteStorage, TransactionRollsBackUnlessCommitted)
{
    IConnection* connection = m_db.get();
    connection->Execute("CREATE TABLE t (x INTEGER)");
    {
        Transaction transaction(*connection);
        connection->Execute("INSERT INTO t VALUES (1)");
    }
    EXPECT_EQ(SqlValue(int64_t{0}), One(*connection, "SELECT count(*) FROM t"));
    {
        Transaction transaction(*connection);
        connection->Execute("INSERT INTO t VALUES (1)");
        transaction.Commit();
    }
    EXPECT_EQ(SqlValue(int64_t{1}), One(*connection, "SELECT count(*) FROM t"));

    // Interrupted inside a transaction: the guard still rolls back, and the connection is usable again.
    try {
        Transaction transaction(*connection);
        connection->Execute("INSERT INTO t VALUES (2)");
        connection->Interrupt();
        connection->Execute("INSERT INTO t VALUES (3)");
        transaction.Commit();
        ADD_FAILURE() << "an interrupted transaction committed";
    } catch (const StorageError& error) {
        EXPECT_EQ(StorageErrorKind::Interrupted, error.Kind());
    }
    connection->ClearInterrupt();
    Transaction next(*connection);  // BEGIN fails if the interrupted transaction were still open
    EXPECT_EQ(SqlValue(int64_t{1}), One(*connection, "SELECT count(*) FROM t"));
}

TEST_F(SqliteStorage, DialectQuotesLimitsAndTruncatesTimes)
{
    const IDialect& dialect = DialectFor(StorageSettingsForFile("r.db"));
    EXPECT_EQ("\"When\"", dialect.QuoteIdentifier("When"));
    EXPECT_EQ("\"a\"\"; DROP TABLE x; --\"", dialect.QuoteIdentifier("a\"; DROP TABLE x; --"));
    EXPECT_EQ("?3", dialect.Placeholder(3));
    EXPECT_EQ("LIMIT 10", dialect.LimitClause(10, 0));
    EXPECT_EQ("LIMIT -1 OFFSET 5", dialect.LimitClause(-1, 5));
    EXPECT_THROW(dialect.TruncateTime("x", 0, "fortnight"), StorageError);
    // 2024-03-05T07:09:10Z = 1709622550; one hour east of UTC it is 08:09:10 local.
    const auto at = [&](int64_t offset, const char* part) {
        return std::get<int64_t>(One(*m_db, "SELECT " + dialect.TruncateTime("1709622550", offset, part)));
    };
    EXPECT_EQ(1709622550 + 3600, at(3600, "second"));
    EXPECT_EQ(1709622540 + 3600, at(3600, "minute"));
    EXPECT_EQ(1709625600, at(3600, "hour"));      // 2024-03-05T08:00:00 local
    EXPECT_EQ(1709596800, at(3600, "day"));       // 2024-03-05T00:00:00
    EXPECT_EQ(1709251200, at(3600, "month"));     // 2024-03-01
    EXPECT_EQ(1704067200, at(3600, "year"));      // 2024-01-01
    EXPECT_EQ(1709510400, at(-8 * 3600, "day"));  // eight hours west it is still 2024-03-04
}

TEST(StorageDoor, UnknownKindOrEmptyConnectionIsAClearErrorAndSqliteOpens)
{
    for (const auto& call : std::initializer_list<std::function<void()>>{
             [] { ParseStorageSettings("oracle", "db1"); },
             [] { OpenStorage({"oracle", "db1"}); },
             [] { DialectFor({"oracle", "db1"}); },
             [] { ReadStorageSettings(QxNodePtr::Parse(R"(<R StorageKind="oracle" DatabasePath="/r.db"/>)")); }}) {
        const Thrown thrown = ThrownBy(call);
        EXPECT_EQ(kHrInvalidData, thrown.code);
        EXPECT_NE(std::string::npos, thrown.text.find("storage kind 'oracle' is unknown; this build knows: sqlite, postgresql"))
            << thrown.text;
    }
    const Thrown empty = ThrownBy([] { ParseStorageSettings("sqlite", ""); });
    EXPECT_EQ(kHrInvalidData, empty.code);
    EXPECT_NE(std::string::npos, empty.text.find("connection of kind 'sqlite' is empty")) << empty.text;

    // A kind opens, and its dialect is the connection's.
    TempDir dir;
    const StorageSettings settings = ParseStorageSettings("sqlite", dir.File("r.db"));
    EXPECT_EQ((std::vector<std::string>{"sqlite", "postgresql", "clickhouse"}), StorageKinds());
    const auto connection = OpenStorage(settings, {.create = true});
    EXPECT_EQ(&DialectFor(settings), &connection->Dialect());
    EXPECT_EQ(SqlValue(int64_t{1}), One(*connection, "SELECT 1"));
}

TEST(StorageDoor, SettingsNodeNamesTheConnectionOrTheDatabaseFile)
{
    const std::pair<const char*, std::optional<StorageSettings>> cases[] = {
        {R"(<R DatabasePath="/d/r.db"/>)", StorageSettings{"sqlite", "/d/r.db"}},
        {R"(<R DatabasePath="/d/r.db" StorageConnection="/e/s.db"/>)", StorageSettings{"sqlite", "/e/s.db"}},
        {R"(<R StorageKind="SQLite" StorageConnection="/e/s.db"/>)", StorageSettings{"sqlite", "/e/s.db"}},
        {R"(<R DatabasePath="" StorageKind="sqlite"/>)", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(expected, ReadStorageSettings(QxNodePtr::Parse(text))) << text;
}

TEST_F(SqliteStorage, DialectStatementsAndBulkLoadRunOnTheDatabase)
{
    IConnection* connection = m_db.get();
    const IDialect& sql = connection->Dialect();
    connection->Execute("CREATE TABLE t (id " + sql.GeneratedKeyColumn() + ", k " + sql.TextType() + " UNIQUE, v " +
                        sql.IntegerType() + ")");
    const auto upsert = connection->Prepare(sql.UpsertStatement("t", {"k"}, {"v"}));
    for (const int64_t value : {1, 2}) {
        connection->Execute(sql.BeginWriteTransaction());
        upsert->Bind(1, std::string("a"));
        upsert->Bind(2, value);
        upsert->Next();
        upsert->Reset();
        connection->Execute("COMMIT");
    }
    EXPECT_EQ(SqlValue(std::string("1|2")), One(*connection, "SELECT count(*) || '|' || max(v) FROM t WHERE id > 0"));
    for (int i = 0; i < 2; ++i) connection->Execute(sql.CreateViewIfAbsent("Big", "SELECT * FROM t WHERE v > 1"));
    EXPECT_EQ(SqlValue(int64_t{1}), One(*connection, R"(SELECT count(*) FROM "Big")"));

    connection->PrepareForBulkLoad();
    EXPECT_EQ(SqlValue(int64_t{0}), One(*connection, "PRAGMA synchronous"));
    connection->FinishBulkLoad();
    EXPECT_EQ(SqlValue(std::string("wal")), One(*connection, "PRAGMA journal_mode"));
    EXPECT_EQ(SqlValue(int64_t{1}), One(*connection, "SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_stat1'"));
}

TEST(ReportingSchema, NamesComeFromTheMetricsConfiguration)
{
    CountersTableLayout layout = CountersTableLayoutFromMetrics(Tree(kMetrics));
    EXPECT_EQ("OverviewCounters", layout.table);
    EXPECT_EQ("GroupMask", layout.maskColumn);
    EXPECT_EQ((std::vector<std::string>{"G1", "G2", "G3", "G4"}), layout.groupColumns);

    const QxNodePtr metrics = Tree(kMetrics);
    metrics.SetAttribute("CountersTableName", "Counters_v2");
    EXPECT_EQ("Counters_v2", CountersTableLayoutFromMetrics(metrics).table);
    metrics.SetAttribute("CountColumnName", "g1");  // SQL names ignore case
    EXPECT_EQ(kHrInvalidData, ThrownBy([&] { CountersTableLayoutFromMetrics(metrics); }).code);
    metrics.DeleteAttribute("CountColumnName");
    EXPECT_EQ(kHrNotFound, ThrownBy([&] { CountersTableLayoutFromMetrics(metrics); }).code);
}

TEST(ReportingSchema, CountersOfTheHourlyOnlyLayoutAreDroppedWithTheirProgress)
{
    TempDir dir;
    const auto connection = OpenTestDatabase(dir.File("r.db"), true);
    connection->Execute(R"(CREATE TABLE "OverviewCounters" ("Id" INTEGER PRIMARY KEY, "GroupMask" INTEGER, "PresetId"
        INTEGER, "Cnt" INTEGER, "Ts" INTEGER, "G1" TEXT, "G2" TEXT, "G3" TEXT, "G4" TEXT))");
    connection->Execute(R"(INSERT INTO "OverviewCounters" VALUES (1, 5, 1, 7, 0, 'a', NULL, NULL, NULL))");
    connection->Execute(R"(CREATE TABLE "AggregationState" ("Key" TEXT PRIMARY KEY, "Value" TEXT))");
    connection->Execute(R"(INSERT INTO "AggregationState" VALUES ('LastRecordId', '9'))");
    CreateReportingSchema(*connection, CountersTableLayoutFromMetrics(Tree(kMetrics)));
    EXPECT_EQ(SqlValue(int64_t{0}), One(*connection, R"(SELECT count("Span") FROM "OverviewCounters")"));
    EXPECT_EQ(SqlValue(int64_t{0}), One(*connection, R"(SELECT count(*) FROM "AggregationState")"));
}

TEST(ReportingSchema, CreatesTablesOnceAndIndexesThatServeBothMethods)
{
    TempDir dir;
    const std::string path = dir.File("r.db");
    MakeSmallDatabase(path);
    const auto connection = OpenTestDatabase(path, false);
    CreateReportingSchema(*connection, CountersTableLayoutFromMetrics(Tree(kMetrics)));  // again: nothing changes
    EXPECT_EQ(SqlValue(int64_t{5}), One(*connection, "SELECT count(*) FROM AuditRecords"));
    EXPECT_EQ(SqlValue(int64_t{4}),
              One(*connection, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'IX_%'"));

    const std::pair<const char*, const char*> uses[] = {
        {R"(SELECT "Who", count(*) FROM AuditRecords WHERE "ProductId" IN ('101', '102') AND "When" >= 1
            AND "When" < 2 GROUP BY "Who")", "IX_AuditRecords_ProductId_When"},
        {R"(SELECT count(*) FROM AuditRecords WHERE "ManagedObjectUId" = '{P1}' AND "When" >= 1)",
         "IX_AuditRecords_ManagedObjectUId_When"},
        {R"(SELECT "G1", sum("Cnt") FROM OverviewCounters WHERE "GroupMask" = 5 AND "PresetId" = 1 AND "Span" = 86400
            AND "Ts" >= 0 AND "Ts" < 10 GROUP BY "G1")", "COVERING INDEX IX_OverviewCounters_Buckets"},
    };
    for (const auto& [sql, index] : uses) {
        std::string plan;
        const auto statement = connection->Prepare(std::string("EXPLAIN QUERY PLAN ") + sql);
        while (statement->Next()) plan += std::get<std::string>(statement->Column(3)) + "\n";
        EXPECT_NE(std::string::npos, plan.find(index)) << plan;
    }

    connection->Execute(R"(INSERT INTO AggregationState ("Key", "Value") VALUES ('LastRecordId', '5'))");
    EXPECT_EQ(SqlValue(std::string("5")),
              One(*connection, R"(SELECT "Value" FROM AggregationState WHERE "Key" = 'LastRecordId')"));
}

}  // namespace
}  // namespace cvn::reporting::test
