// The queries processor's exchange (a Query in, a handle out, "Status" 1 while
// it runs, then the rows or the error; FreeResult drops it), its limits with
// their codes and texts, the queue beyond the workers, interruption on free,
// expiry on a manual clock, and storage failures as the module's tolerated codes.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/MessageTable.h"
#include "common/Helpers/Clock.h"
#include "host/reporting/processor/QueriesProcessor.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kByWho =
    R"(<nr><Query q:name="ByWho" Sql="SELECT Who AS w, count(*) AS n FROM AuditRecords GROUP BY Who ORDER BY Who"
       Columns:strs="c.G3|Count"/></nr>)";
constexpr const char* kSlow = R"(<nr><Query q:name="Slow" Sql="WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL
       SELECT x + 1 FROM c WHERE x &lt; 2000000000) SELECT 'x' AS Who, count(*) AS Count FROM c"
       Columns:strs="Who|Count"/></nr>)";

// Translation for tests: "Sql" of the query node, its "Columns" list as row attributes and "Top" as the row limit.
TranslatedQuery SqlFromNode(const QxNodePtr& query, IConnection&)
{
    TranslatedQuery translated{.sql = query.GetRequiredAttribute<std::string>("Sql"),
                               .rowAttributes = query.GetRequiredAttribute<std::vector<std::string>>("Columns")};
    int32_t top = 0;
    if (query.GetAttribute("Top", top)) translated.rowLimit = top;
    return translated;
}

class QueriesProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { MakeSmallDatabase(m_path); }

    void Make(const std::string& attributes = "", TranslateFunction translate = SqlFromNode)
    {
        const QueriesProcessorOptions options = ReadQueriesProcessorOptions(
            Tree("<nr><QueriesProcessor DatabasePath=\"" + m_path + "\" " + attributes + "/></nr>"), false);
        m_processor = CreateComponent<CQueriesProcessor>(options, std::move(translate), [options] {
            return OpenStorage(options.storage, {.create = false, .busyTimeoutMs = options.busyTimeoutMs});
        });
    }
    // A translation held until m_release is set; its query counts as running meanwhile. Counts the
    // queries started in m_translated.
    TranslateFunction Held()
    {
        return [released = m_release.get_future().share(), this](const QxNodePtr& query, IConnection& connection) {
            ++m_translated;
            released.wait_for(cvn::test::kWaitLimit);
            return SqlFromNode(query, connection);
        };
    }
    // The answer to one request, or null with the failing code and its error text kept.
    QxNodePtr Call(const QxNodePtr& request)
    {
        QxNodePtr response;
        m_lastCode = m_processor->ProcessRequest(request.Get(), response.Reset());
        m_lastText = m_lastCode < 0 ? SerializeCurrentError(m_lastCode) : std::string();
        return response;
    }
    QxNodePtr Send(const std::string& text)  // the handle
    {
        QxNodePtr handle = Call(Tree(text));
        EXPECT_EQ(S_OK, m_lastCode) << m_lastText;
        return handle;
    }
    // Polls until done(answer), by default until "Status" is no longer 1 (running); null when a poll fails.
    QxNodePtr PollUntil(const QxNodePtr& handle, const std::function<bool(const QxNodePtr&)>& done = nullptr)
    {
        QxNodePtr answer;
        EXPECT_TRUE(cvn::test::WaitUntil([&] {
            return m_processor->ProcessRequest(handle.Get(), answer.Reset()) != S_OK ||
                   (done ? done(answer) : answer.GetRequiredAttribute<int32_t>("Status") != 1);
        })) << "the query did not get there in time";
        return answer;
    }
    QxNodePtr Run(const std::string& text) { return PollUntil(Send(text)); }
    QxNodePtr Free(const QxNodePtr& handle)
    {
        const QxNodePtr free = handle.Clone();
        free.SetAttribute("FreeResult", true);
        return Call(free);
    }
    QxNodePtr Running(const QxNodePtr& handle)
    {
        return PollUntil(handle, [](const QxNodePtr& a) { return a.GetAttributeOr("State", "") == "Running"; });
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

    TempDir m_dir;
    std::string m_path = m_dir.File("reporting.db");
    std::atomic<int> m_translated{0};  // before the processor: its workers count into it
    ComPtr<CComponentObject<CQueriesProcessor>> m_processor;
    std::promise<void> m_release;
    HRESULT m_lastCode = S_OK;
    std::string m_lastText;
};

TEST_F(QueriesProcessorTest, StatusOneWhileRunningThenRowsWithAttributesAndCountUntilFreed)
{
    Make("", Held());
    const QxNodePtr handle = Send(kByWho);
    ASSERT_TRUE(handle);
    EXPECT_EQ("QueryHandle", handle.GetType());
    GUID id{};
    EXPECT_TRUE(handle.GetAttribute("Handle", id));
    const QxNodePtr running = Running(handle);
    ASSERT_TRUE(running);
    EXPECT_EQ(1, running.GetRequiredAttribute<int32_t>("Status"));
    EXPECT_EQ(0u, running.GetChildCount());

    m_release.set_value();
    const QxNodePtr result = PollUntil(handle);
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
    const QxNodePtr again = Call(handle);
    EXPECT_EQ("Result", again.GetName());
    EXPECT_EQ(2u, again.GetChildCount());

    EXPECT_EQ(1u, m_processor->HeldQueries());
    EXPECT_TRUE(Free(handle));
    EXPECT_EQ(0u, m_processor->HeldQueries());
    EXPECT_FALSE(Call(handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("Unknown query handle {")) << m_lastText;
    EXPECT_FALSE(Free(handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    Call(Tree(R"(<nr><QueryHandle Handle:guid="{01234567-89AB-CDEF-0123-456789ABCDEF}"/></nr>)"));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("{01234567-89AB-CDEF-0123-456789ABCDEF}")) << m_lastText;
    Call(Tree(R"(<nr><Something q:name="x"/></nr>)"));
    EXPECT_EQ(E_INVALIDARG, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("'Query'")) << m_lastText;
}

TEST_F(QueriesProcessorTest, FreeAndShutdownInterruptARunningQuery)
{
    // One worker: the next query is answered only once the slow one no longer holds it.
    Make(R"(Workers:i32="1")");
    const QxNodePtr slow = Send(kSlow);
    ASSERT_TRUE(Running(slow));
    std::this_thread::sleep_for(20ms);  // well inside the statement
    EXPECT_TRUE(Free(slow));
    const QxNodePtr result = Run(kByWho);
    ASSERT_TRUE(result);
    EXPECT_EQ(0, ErrorCode(result));

    // Shutdown interrupts the running query, drops it and refuses new ones.
    const QxNodePtr another = Send(kSlow);
    ASSERT_TRUE(Running(another));
    EXPECT_EQ(S_OK, m_processor->Shutdown());
    EXPECT_FALSE(Call(another));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_FALSE(Call(Tree(kByWho)));
    EXPECT_EQ(kHrDatabaseUnavailable, m_lastCode);
    EXPECT_EQ(S_OK, m_processor->Shutdown());
}

TEST_F(QueriesProcessorTest, ResultsNobodyPollsExpireOnTheInjectedClock)
{
    ManualClock clock;
    Make(R"(Workers:i32="1" ResultTtlMs:i64="1000")");
    const QxNodePtr handle = Send(kByWho);
    ASSERT_TRUE(PollUntil(handle));
    clock.Advance(999ms);
    EXPECT_TRUE(Call(handle)) << "a poll inside the time to live must find the result";
    clock.Advance(999ms);
    EXPECT_TRUE(Call(handle)) << "each poll starts the time to live again";
    clock.Advance(1000ms);
    EXPECT_FALSE(Call(handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_EQ(0u, m_processor->HeldQueries());

    // A running query that nobody polls expires too, and its worker is freed.
    const QxNodePtr slow = Send(kSlow);
    ASSERT_TRUE(Running(slow));
    clock.Advance(1000ms);
    const QxNodePtr next = Send(kByWho);  // any request sweeps
    EXPECT_FALSE(Call(slow));
    const QxNodePtr result = PollUntil(next);
    ASSERT_TRUE(result);
    EXPECT_EQ(0, ErrorCode(result));
    m_processor->Shutdown();  // no thread reads the clock once it goes
}

TEST_F(QueriesProcessorTest, LimitsTranslationAndStatementFailuresKeepTheirCodesAndTopTakesTheFirstRows)
{
    Make(R"(MaxRows:i64="4" QueryTimeLimitMs:i64="100")", [](const QxNodePtr& query, IConnection& connection) -> TranslatedQuery {
        if (query.GetName() == "Bad") ThrowHrWithDescription(kHrInvalidData, "unknown column 'Nope'");
        return SqlFromNode(query, connection);
    });
    ExpectFailed(Run(R"(<nr><Query q:name="All" Sql="SELECT What, 1 AS Count FROM AuditRecords ORDER BY Id"
                       Columns:strs="What|Count"/></nr>)"),
                 kHrQueryRowLimit,
                 "0x80041911 The query result exceeded the row limit: the result has more than 4 rows (MaxRows 4)");
    ExpectFailed(Run(kSlow), kHrQueryTimeLimit,
                 "0x80041910 The query exceeded its time limit: it ran longer than 100 ms (QueryTimeLimitMs)");
    ExpectFailed(Run(R"(<nr><Query q:name="Bad"/></nr>)"), kHrInvalidData, "0x8007000D unknown column 'Nope'");
    const QxNodePtr wrongColumns = Run(R"(<nr><Query q:name="W" Sql="SELECT 1, 2, 3" Columns:strs="Who|Count"/></nr>)");
    ExpectFailed(wrongColumns, kHrInvalidData, "0x8007000D ");
    EXPECT_NE(std::string::npos,
              wrongColumns.GetAttributeOr("Error_Serialized", "").find("gives 3 columns but the translation names 2"));

    // The presence query's shape: rows without a count, "Top" 1.
    const QxNodePtr top = Run(R"(<nr><Query q:name="Top" Sql="SELECT What, Who FROM AuditRecords ORDER BY Id"
                                Columns:strs="What|Who" Top:i32="1"/></nr>)");
    ASSERT_TRUE(top);
    EXPECT_EQ(0, ErrorCode(top));
    ASSERT_EQ(1u, top.GetChildCount());
    EXPECT_EQ("alice", top.GetChild(uint64_t{0}).GetRequiredAttribute<std::string>("Who"));
    EXPECT_FALSE(top.GetChild(uint64_t{0}).HasAttribute("Count"));
}

TEST_F(QueriesProcessorTest, QueriesBeyondTheWorkersWaitInTheQueueUntilItIsFull)
{
    Make(R"(Workers:i32="1" MaxQueuedQueries:i32="2")", Held());
    const QxNodePtr first = Send(kByWho);
    ASSERT_TRUE(Running(first));
    const QxNodePtr second = Send(kByWho);
    const QxNodePtr third = Send(kByWho);
    EXPECT_EQ("Queued", Call(third).GetAttributeOr("State", ""));
    EXPECT_EQ(2u, m_processor->QueuedQueries());
    // Refused in its own answer, so that only this sub-request fails.
    const QxNodePtr refused = Send(kByWho);
    ExpectFailed(Call(refused), kHrDatabaseBusy,
                 "0x80040C0B The reporting database is busy: every worker is busy and the queue is full "
                 "(Workers 1, MaxQueuedQueries 2)");

    // Freeing a queued query takes it off the queue at once; it never runs.
    Free(second);
    EXPECT_EQ(1u, m_processor->QueuedQueries());
    const QxNodePtr fifth = Send(kByWho);
    m_release.set_value();
    for (const QxNodePtr& handle : {first, third, fifth}) {
        const QxNodePtr answer = PollUntil(handle);
        ASSERT_TRUE(answer);
        EXPECT_EQ(0, ErrorCode(answer)) << answer.GetAttributeOr("Error_Serialized", "");
    }
    EXPECT_EQ(3, m_translated.load());
    EXPECT_EQ(0u, m_processor->QueuedQueries());
}

TEST_F(QueriesProcessorTest, AQueryThatWaitsQueueWaitMsForAWorkerIsAnsweredBusyAndNeverStarts)
{
    ManualClock clock;
    Make(R"(Workers:i32="1" QueueWaitMs:i64="1000")", Held());
    const QxNodePtr first = Send(kByWho);
    ASSERT_TRUE(Running(first));
    const QxNodePtr late = Send(kByWho);
    clock.Advance(999ms);
    const QxNodePtr next = Send(kByWho);
    EXPECT_EQ("Queued", Call(late).GetAttributeOr("State", ""));
    clock.Advance(1ms);
    ExpectFailed(Call(late), kHrDatabaseBusy,
                 "0x80040C0B The reporting database is busy: the query waited 1000 ms for a worker (QueueWaitMs)");
    EXPECT_EQ(1u, m_processor->QueuedQueries()) << "the later query keeps its own time";

    m_release.set_value();
    EXPECT_EQ(0, ErrorCode(PollUntil(first)));
    EXPECT_EQ(0, ErrorCode(PollUntil(next)));
    EXPECT_EQ(2, m_translated.load());
    m_processor->Shutdown();  // no thread reads the clock once it goes
}

TEST_F(QueriesProcessorTest, APollHeldOpenAnswersTheMomentItsQueryFinishesOrIsFreed)
{
    Make(R"(Workers:i32="1" PollWaitMs:i64="10000")", Held());
    // One poll each, from other threads: the answer they get is the one the query has when they end.
    const auto pollOnce = [&](const QxNodePtr& handle) {
        return std::async(std::launch::async, [this, handle] {
            QxNodePtr answer;
            const HRESULT code = m_processor->ProcessRequest(handle.Get(), answer.Reset());
            return std::make_pair(code, answer);
        });
    };
    const QxNodePtr first = Send(kByWho);
    auto finished = pollOnce(first);
    ASSERT_TRUE(cvn::test::WaitUntil([&] { return m_processor->WaitingPolls() == 1; }));
    m_release.set_value();
    ASSERT_EQ(std::future_status::ready, finished.wait_for(cvn::test::kWaitLimit));
    const auto [code, answer] = finished.get();
    ASSERT_EQ(S_OK, code);
    EXPECT_EQ(0, answer.GetRequiredAttribute<int32_t>("Status")) << "one poll, held open, brings the rows";

    m_release = std::promise<void>();
    Make(R"(Workers:i32="1" PollWaitMs:i64="10000")", Held());
    const QxNodePtr second = Send(kByWho);
    auto freed = pollOnce(second);
    ASSERT_TRUE(cvn::test::WaitUntil([&] { return m_processor->WaitingPolls() == 1; }));
    Free(second);
    ASSERT_EQ(std::future_status::ready, freed.wait_for(cvn::test::kWaitLimit));
    EXPECT_EQ(kHrNotFound, freed.get().first) << "a freed query's poll ends at once";
    m_release.set_value();
}

TEST_F(QueriesProcessorTest, UnavailableAndBusyDatabasesGiveTheTolerantCodes)
{
    m_path = m_dir.File("later.db");
    Make(R"(Workers:i32="1" BusyTimeoutMs:i32="50")");
    const QxNodePtr unavailable = Run(kByWho);
    ExpectFailed(unavailable, kHrDatabaseUnavailable, "0x80040C0A The reporting database is unavailable: cannot open");
    EXPECT_NE(std::string::npos, unavailable.GetAttributeOr("Error_Serialized", "").find("later.db"));
    MakeSmallDatabase(m_path);  // the worker opens it at the next query
    EXPECT_EQ(0, ErrorCode(Run(kByWho)));

    const auto holder = OpenTestDatabase(m_path, false);
    holder->Execute("BEGIN EXCLUSIVE");
    ExpectFailed(Run(kByWho), kHrDatabaseBusy, "0x80040C0B The reporting database is busy: ");
    holder->Execute("ROLLBACK");
    EXPECT_EQ(0, ErrorCode(Run(kByWho)));
}

TEST(QueriesProcessorOptions, RequiredItemsAndRanges)
{
    // The error names what is wrong.
    const std::tuple<const char*, const char*, HRESULT, const char*> cases[] = {
        {"", "<QueryTemplates/>", kHrNotFound, "DatabasePath"},
        {R"(DatabasePath="/r.db")", "", kHrNotFound, "QueryTemplates"},
        {R"(DatabasePath="/r.db" Workers:i32="0")", "<QueryTemplates/>", kHrInvalidData, "Workers is 0"},
        {R"(DatabasePath="/r.db" MaxRows="many")", "<QueryTemplates/>", kHrInvalidData, "MaxRows"},
        {R"(DatabasePath="/r.db" MaxQueuedQueries:i32="-1")", "<QueryTemplates/>", kHrInvalidData, "MaxQueuedQueries"},
        {R"(DatabasePath="/r.db" QueueWaitMs:i64="0")", "<QueryTemplates/>", kHrInvalidData, "QueueWaitMs is 0"},
    };
    for (const auto& [attributes, inner, code, named] : cases) {
        const std::string text =
            std::string("<nr><QueriesProcessor ") + attributes + ">" + inner + "</QueriesProcessor></nr>";
        const Thrown thrown = ThrownBy([&] { ReadQueriesProcessorOptions(Tree(text)); });
        EXPECT_EQ(code, thrown.code) << text;
        EXPECT_NE(std::string::npos, thrown.text.find(named)) << thrown.text;
    }
    EXPECT_EQ("Service.QueriesProcessor", ReadQueriesProcessorOptions(Tree(R"(<nr><QueriesProcessor
        DatabasePath="/r.db"><QueryTemplates/></QueriesProcessor></nr>)")).uri) << "the name the module asks for";
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
    EXPECT_EQ(0u, ErrorText(MakeReportingError(kHrQueryTimeLimit, "x")).find("0x80041910 The query exceeded its time limit: x"));
}

}  // namespace
}  // namespace cvn::reporting::test
