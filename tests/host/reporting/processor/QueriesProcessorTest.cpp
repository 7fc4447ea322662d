// The queries processor's exchange (a Query in, a handle out, "Status" 1 while
// it runs, then the rows or the error; FreeResult drops it), its limits with
// their codes and texts, interruption on free, expiry on a manual clock, and
// storage failures as the module's tolerated codes.
#include <gtest/gtest.h>

#include <future>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/MessageTable.h"
#include "common/Helpers/Clock.h"
#include "tests/support/ReportingTestSupport.h"
#include "host/reporting/processor/QueriesProcessor.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"

namespace cvn::reporting::test {
namespace {

using namespace std::chrono_literals;
using Processor = ComPtr<CComponentObject<CQueriesProcessor>>;

class QueriesProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { MakeSmallDatabase(m_path); }

    Processor Make(const std::string& attributes = "", TranslateFunction translate = SqlFromNode)
    {
        const QueriesProcessorOptions options = ReadQueriesProcessorOptions(
            Tree("<nr><QueriesProcessor DatabasePath=\"" + m_path + "\" " + attributes + "/></nr>"), false);
        return CreateComponent<CQueriesProcessor>(options, std::move(translate), [options] {
            return OpenStorage(options.storage, {.create = false, .busyTimeoutMs = options.busyTimeoutMs});
        });
    }
    // A translation held until m_release is set; its query counts as running meanwhile.
    TranslateFunction Held()
    {
        return [released = m_release.get_future().share()](const QxNodePtr& query) {
            released.wait_for(kWaitLimit);
            return SqlFromNode(query);
        };
    }

    // The answer to one request, or null with the failing code and its error text kept.
    QxNodePtr Call(IRequestProcessor* processor, const QxNodePtr& request)
    {
        QxNodePtr response;
        m_lastCode = processor->ProcessRequest(request.Get(), response.Reset());
        m_lastText = m_lastCode < 0 ? SerializeCurrentError(m_lastCode) : std::string();
        return response;
    }
    QxNodePtr Send(IRequestProcessor* processor, const std::string& text)
    {
        QxNodePtr answer = Call(processor, Tree(text));
        EXPECT_EQ(S_OK, m_lastCode) << m_lastText;
        return answer;
    }
    static QxNodePtr FreeRequest(const QxNodePtr& handle)
    {
        const QxNodePtr free = handle.Clone();
        free.SetAttribute("FreeResult", true);
        return free;
    }
    static QxNodePtr Running(IRequestProcessor* processor, const QxNodePtr& handle)
    {
        return PollUntil(processor, handle,
                         [](const QxNodePtr& a) { return a.GetAttributeOr("State", "") == "Running"; });
    }
    static int32_t ErrorCode(const QxNodePtr& answer) { return answer.GetAttributeOr<int32_t>("Error_Result", 0); }
    // A finished answer with "Status" 2, no rows, the code and an error text starting with start.
    static void ExpectFailed(const QxNodePtr& answer, HRESULT code, const std::string& start)
    {
        ASSERT_TRUE(answer);
        EXPECT_EQ(2, answer.GetRequiredAttribute<int32_t>("Status"));
        EXPECT_EQ(static_cast<int32_t>(code), ErrorCode(answer));
        EXPECT_EQ(0u, answer.GetChildCount());
        const std::string text = answer.GetAttributeOr("Error_Serialized", "");
        EXPECT_EQ(0u, text.find(start)) << text;
    }

    static constexpr const char* kByWho =
        R"(<nr><Query q:name="ByWho" Sql="SELECT Who AS w, count(*) AS n FROM AuditRecords GROUP BY Who ORDER BY Who"
           Columns:strs="c.G3|Count"/></nr>)";
    static constexpr const char* kSlow = R"(<nr><Query q:name="Slow" Sql="WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL
           SELECT x + 1 FROM c WHERE x &lt; 2000000000) SELECT 'x' AS Who, count(*) AS Count FROM c"
           Columns:strs="Who|Count"/></nr>)";

    TempDir m_dir;
    std::string m_path = m_dir.File("reporting.db");
    std::promise<void> m_release;
    HRESULT m_lastCode = S_OK;
    std::string m_lastText;
};

TEST_F(QueriesProcessorTest, StatusOneWhileRunningThenRowsWithAttributesAndCount)
{
    const Processor processor = Make("", Held());
    const QxNodePtr handle = Send(processor.Get(), kByWho);
    ASSERT_TRUE(handle);
    EXPECT_EQ("QueryHandle", handle.GetType());
    GUID id{};
    EXPECT_TRUE(handle.GetAttribute("Handle", id));

    const QxNodePtr running = Running(processor.Get(), handle);
    ASSERT_TRUE(running);
    EXPECT_EQ(1, running.GetRequiredAttribute<int32_t>("Status"));
    EXPECT_EQ(0u, running.GetChildCount());

    m_release.set_value();
    const QxNodePtr result = PollUntil(processor.Get(), handle);
    ASSERT_TRUE(result);
    EXPECT_EQ(0, result.GetRequiredAttribute<int32_t>("Status"));
    EXPECT_EQ(0, ErrorCode(result));
    EXPECT_EQ(2, result.GetRequiredAttribute<int64_t>("RowCount"));
    ASSERT_EQ(2u, result.GetChildCount());
    const QxNodePtr alice = result.GetChild(uint64_t{0});
    EXPECT_EQ("alice", alice.GetRequiredAttribute<std::string>("c.G3"));
    uint32_t countType = 0;
    ASSERT_TRUE(alice.HasAttribute("Count", &countType));
    EXPECT_EQ(QXN_TYPE_INT64, countType);
    EXPECT_EQ(3, alice.GetRequiredAttribute<int64_t>("Count"));
    EXPECT_EQ(2, result.GetChild(uint64_t{1}).GetRequiredAttribute<int64_t>("Count"));

    // Every poll hands out its own copy: what one caller changes the next does not see.
    result.SetName("Counters");
    result.RemoveChild(alice);
    const QxNodePtr again = Call(processor.Get(), handle);
    EXPECT_EQ("Result", again.GetName());
    EXPECT_EQ(2u, again.GetChildCount());
}

TEST_F(QueriesProcessorTest, FreeResultDropsTheHandleAndUnknownHandlesAreClearErrors)
{
    const Processor processor = Make();
    const QxNodePtr handle = Send(processor.Get(), kByWho);
    ASSERT_TRUE(PollUntil(processor.Get(), handle));
    EXPECT_EQ(1u, processor->HeldQueries());

    EXPECT_TRUE(Call(processor.Get(), FreeRequest(handle)));
    EXPECT_EQ(S_OK, m_lastCode);
    EXPECT_EQ(0u, processor->HeldQueries());

    EXPECT_FALSE(Call(processor.Get(), handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("Unknown query handle {")) << m_lastText;
    Call(processor.Get(), FreeRequest(handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);

    Call(processor.Get(), Tree(R"(<nr><QueryHandle Handle:guid="{01234567-89AB-CDEF-0123-456789ABCDEF}"/></nr>)"));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("{01234567-89AB-CDEF-0123-456789ABCDEF}")) << m_lastText;

    Call(processor.Get(), Tree(R"(<nr><Something q:name="x"/></nr>)"));
    EXPECT_EQ(E_INVALIDARG, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("'Query'")) << m_lastText;
}

TEST_F(QueriesProcessorTest, FreeAndShutdownInterruptARunningQuery)
{
    const Processor processor = Make(R"(Workers:i32="1")");
    const QxNodePtr slow = Send(processor.Get(), kSlow);
    ASSERT_TRUE(Running(processor.Get(), slow));
    std::this_thread::sleep_for(20ms);  // well inside the statement
    const auto freedAt = std::chrono::steady_clock::now();
    Call(processor.Get(), FreeRequest(slow));
    EXPECT_EQ(S_OK, m_lastCode);
    // The only worker is free again at once: the next query is answered long before the slow one could end.
    const QxNodePtr result = PollUntil(processor.Get(), Send(processor.Get(), kByWho));
    ASSERT_TRUE(result);
    EXPECT_EQ(0, ErrorCode(result));
    EXPECT_LT(std::chrono::steady_clock::now() - freedAt, 5s);

    // Shutdown interrupts the running query, drops it and refuses new ones.
    const QxNodePtr another = Send(processor.Get(), kSlow);
    ASSERT_TRUE(Running(processor.Get(), another));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, processor->Shutdown());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(Call(processor.Get(), another));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_FALSE(Call(processor.Get(), Tree(kByWho)));
    EXPECT_EQ(kHrDatabaseUnavailable, m_lastCode);
    EXPECT_EQ(S_OK, processor->Shutdown());
}

TEST_F(QueriesProcessorTest, ResultsNobodyPollsExpireOnTheInjectedClock)
{
    ManualClock clock;
    const Processor processor = Make(R"(Workers:i32="1" ResultTtlMs:i64="1000")");
    const QxNodePtr handle = Send(processor.Get(), kByWho);
    ASSERT_TRUE(PollUntil(processor.Get(), handle));
    clock.Advance(999ms);
    EXPECT_TRUE(Call(processor.Get(), handle)) << "a poll inside the time to live must find the result";
    clock.Advance(999ms);
    EXPECT_TRUE(Call(processor.Get(), handle)) << "each poll starts the time to live again";
    clock.Advance(1000ms);
    EXPECT_FALSE(Call(processor.Get(), handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_EQ(0u, processor->HeldQueries());

    // A running query that nobody polls expires too, and its worker is freed.
    const QxNodePtr slow = Send(processor.Get(), kSlow);
    ASSERT_TRUE(Running(processor.Get(), slow));
    clock.Advance(1000ms);
    const QxNodePtr next = Send(processor.Get(), kByWho);  // any request sweeps
    EXPECT_FALSE(Call(processor.Get(), slow));
    const QxNodePtr result = PollUntil(processor.Get(), next);
    ASSERT_TRUE(result);
    EXPECT_EQ(0, ErrorCode(result));
}

TEST_F(QueriesProcessorTest, RowLimitFailsWithItsCodeAndTopTakesTheFirstRows)
{
    const Processor processor = Make(R"(MaxRows:i64="4")");
    ExpectFailed(PollUntil(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="All"
        Sql="SELECT What, 1 AS Count FROM AuditRecords ORDER BY Id" Columns:strs="What|Count"/></nr>)")),
                 kHrQueryRowLimit,
                 "0x80041911 The query result exceeded the row limit: the result has more than 4 rows (MaxRows 4)");

    // The presence query's shape: rows without a count, "Top" 1.
    const QxNodePtr top = PollUntil(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="Top"
        Sql="SELECT What, Who FROM AuditRecords ORDER BY Id" Columns:strs="What|Who" Top:i32="1"/></nr>)"));
    ASSERT_TRUE(top);
    EXPECT_EQ(0, ErrorCode(top));
    ASSERT_EQ(1u, top.GetChildCount());
    EXPECT_EQ("alice", top.GetChild(uint64_t{0}).GetRequiredAttribute<std::string>("Who"));
    EXPECT_FALSE(top.GetChild(uint64_t{0}).HasAttribute("Count"));
}

TEST_F(QueriesProcessorTest, TimeLimitInterruptsWithItsCode)
{
    const Processor processor = Make(R"(QueryTimeLimitMs:i64="100")");
    const auto started = std::chrono::steady_clock::now();
    ExpectFailed(PollUntil(processor.Get(), Send(processor.Get(), kSlow)), kHrQueryTimeLimit,
                 "0x80041910 The query exceeded its time limit: it ran longer than 100 ms (QueryTimeLimitMs)");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
}

TEST_F(QueriesProcessorTest, QueriesPastTheConcurrencyLimitAreAnsweredBusy)
{
    const Processor processor = Make(R"(Workers:i32="1" MaxConcurrentQueries:i32="2")", Held());
    const QxNodePtr first = Send(processor.Get(), kByWho);   // running (held)
    const QxNodePtr second = Send(processor.Get(), kByWho);  // queued
    const QxNodePtr third = Send(processor.Get(), kByWho);   // refused, in its own answer
    ASSERT_TRUE(third);
    ExpectFailed(
        Call(processor.Get(), third), kHrDatabaseBusy,
        "0x80040C0B The reporting database is busy: 2 queries are running or waiting (MaxConcurrentQueries 2)");

    // Freeing a queued query gives its place back at once.
    Call(processor.Get(), FreeRequest(second));
    const QxNodePtr fourth = Send(processor.Get(), kByWho);
    EXPECT_EQ(1, Call(processor.Get(), fourth).GetRequiredAttribute<int32_t>("Status"));
    m_release.set_value();
    EXPECT_EQ(0, ErrorCode(PollUntil(processor.Get(), first)));
    EXPECT_EQ(0, ErrorCode(PollUntil(processor.Get(), fourth)));
}

TEST_F(QueriesProcessorTest, UnavailableAndBusyDatabasesGiveTheTolerantCodes)
{
    m_path = m_dir.File("later.db");
    const Processor processor = Make(R"(Workers:i32="1" BusyTimeoutMs:i32="50")");
    const auto run = [&] { return PollUntil(processor.Get(), Send(processor.Get(), kByWho)); };
    const QxNodePtr unavailable = run();
    ExpectFailed(unavailable, kHrDatabaseUnavailable, "0x80040C0A The reporting database is unavailable: cannot open");
    EXPECT_NE(std::string::npos, unavailable.GetAttributeOr("Error_Serialized", "").find("later.db"));

    MakeSmallDatabase(m_path);  // the worker opens it at the next query
    EXPECT_EQ(0, ErrorCode(run()));

    const auto holder = OpenTestDatabase(m_path, false);
    holder->Execute("BEGIN EXCLUSIVE");
    ExpectFailed(run(), kHrDatabaseBusy, "0x80040C0B The reporting database is busy: ");
    holder->Execute("ROLLBACK");
    EXPECT_EQ(0, ErrorCode(run()));
}

TEST_F(QueriesProcessorTest, TranslationAndStatementFailuresKeepTheirCodes)
{
    const Processor processor = Make("", [](const QxNodePtr& query) -> TranslatedQuery {
        if (query.GetName() == "Bad") ThrowHrWithDescription(kHrInvalidData, "unknown column 'Nope'");
        return SqlFromNode(query);
    });
    ExpectFailed(PollUntil(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="Bad"/></nr>)")), kHrInvalidData,
                 "0x8007000D unknown column 'Nope'");
    const QxNodePtr wrongColumns = PollUntil(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="W"
        Sql="SELECT 1, 2, 3" Columns:strs="Who|Count"/></nr>)"));
    ExpectFailed(wrongColumns, kHrInvalidData, "0x8007000D ");
    EXPECT_NE(std::string::npos,
              wrongColumns.GetAttributeOr("Error_Serialized", "").find("gives 3 columns but the translation names 2"));
}

TEST(QueriesProcessorOptions, DefaultsRangesAndRequiredItems)
{
    const QueriesProcessorOptions defaults = ReadQueriesProcessorOptions(
        Tree(R"(<nr><QueriesProcessor DatabasePath="/r.db"><QueryTemplates/></QueriesProcessor></nr>)"));
    EXPECT_EQ("Service.QueriesProcessor", defaults.uri);
    EXPECT_EQ(2, defaults.workers);
    EXPECT_EQ(8, defaults.maxConcurrentQueries);
    EXPECT_EQ(100000, defaults.maxRows);
    EXPECT_EQ(30000, defaults.queryTimeLimitMs);
    EXPECT_EQ(600000, defaults.resultTtlMs);
    EXPECT_EQ(5000, defaults.busyTimeoutMs);
    EXPECT_TRUE(defaults.queryTemplates);

    const std::tuple<const char*, const char*, HRESULT> cases[] = {
        {"", "<QueryTemplates/>", kHrNotFound},
        {R"(DatabasePath="/r.db")", "", kHrNotFound},
        {R"(DatabasePath="/r.db" Workers:i32="0")", "<QueryTemplates/>", kHrInvalidData},
        {R"(DatabasePath="/r.db" MaxRows="many")", "<QueryTemplates/>", kHrInvalidData},
    };
    for (const auto& [attributes, inner, code] : cases) {
        const std::string text =
            std::string("<nr><QueriesProcessor ") + attributes + ">" + inner + "</QueriesProcessor></nr>";
        EXPECT_EQ(code, ThrownBy([&] { ReadQueriesProcessorOptions(Tree(text)); }).code) << text;
    }
}

TEST(ReportingMessages, AgreeWithTheShippedMessageTable)
{
    std::unique_ptr<MessageTable> table;
    ASSERT_EQ(0u, MessageTable::Load(std::string(CORVANE_SOURCE_DIR) + "/data/Faultbook.dll.txt", table));
    for (const ReportingMessage& message : ReportingMessages()) {
        const auto text = table->FindMessage(static_cast<uint32_t>(message.code));
        ASSERT_TRUE(text) << std::hex << message.code;
        EXPECT_EQ(message.text, *text) << std::hex << message.code;
    }
    // The description of an error starts with the table's words, so logs and dashboards read alike.
    EXPECT_EQ(
        0u,
        ErrorText(MakeReportingError(kHrQueryTimeLimit, "x")).find("0x80041910 The query exceeded its time limit: x"));
}

}  // namespace
}  // namespace cvn::reporting::test
