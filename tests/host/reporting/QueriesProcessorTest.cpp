// The queries processor's exchange (a Query in, a handle out, "Status" 1 while
// it runs, then the rows or the error; FreeResult drops it), its limits with
// their codes and texts, interruption on free, expiry on a manual clock, and
// storage failures as the module's tolerated codes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "ErrorHandling/ErrorObjects.h"
#include "ErrorHandling/MessageTable.h"
#include "Helpers/Clock.h"
#include "host/reporting/ReportingTestSupport.h"
#include "reporting/QueriesProcessor.h"
#include "reporting/QueriesProcessorErrors.h"
#include "services/ServiceClient.h"

namespace corvane::reporting::test {
namespace {

using namespace std::chrono_literals;
using Processor = ComPtr<CComponentObject<CQueriesProcessor>>;

// Holds translations (and so queries, which count as running) until opened.
class Latch {
public:
    void Open()
    {
        {
            std::lock_guard lock(m_lock);
            m_open = true;
        }
        m_changed.notify_all();
    }
    void Wait()
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, kWaitLimit, [&] { return m_open; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = false;
};

class QueriesProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { MakeSmallDatabase(m_path); }

    Processor Make(const std::string& attributes = "", TranslateFunction translate = SqlFromNode)
    {
        const QxNodePtr config =
            QxNodePtr::Parse("<nr><QueriesProcessor DatabasePath=\"" + m_path + "\" " + attributes + "/></nr>");
        const QueriesProcessorOptions options = ReadQueriesProcessorOptions(config, false);
        const std::string path = options.databasePath;
        const int busy = options.busyTimeoutMs;
        return CreateComponent<CQueriesProcessor>(options, std::move(translate),
                                                  [path, busy] { return OpenSqlite(path, false, busy); });
    }

    // The answer to one request, or null with the failing code and its error text stored.
    QxNodePtr Call(IRequestProcessor* processor, const QxNodePtr& request)
    {
        QxNodePtr response;
        m_lastCode = processor->ProcessRequest(request.Get(), response.Reset());
        m_lastText = m_lastCode < 0 ? SerializeCurrentError(m_lastCode) : std::string();
        return response;
    }
    QxNodePtr Send(IRequestProcessor* processor, const std::string& text)
    {
        QxNodePtr answer = Call(processor, QxNodePtr::Parse(text));
        EXPECT_EQ(S_OK, m_lastCode) << m_lastText;
        return answer;
    }
    QxNodePtr Poll(IRequestProcessor* processor, const QxNodePtr& handle) { return Call(processor, handle); }
    QxNodePtr FreeRequest(const QxNodePtr& handle)
    {
        const QxNodePtr free = handle.Clone();
        free.SetAttribute("FreeResult", true);
        return free;
    }
    // Polls until the status is no longer 1.
    QxNodePtr WaitResult(IRequestProcessor* processor, const QxNodePtr& handle)
    {
        const auto limit = std::chrono::steady_clock::now() + kWaitLimit;
        while (std::chrono::steady_clock::now() < limit) {
            const QxNodePtr answer = Poll(processor, handle);
            if (!answer) return answer;
            if (answer.GetRequiredAttribute<int32_t>("Status") != 1) return answer;
            std::this_thread::sleep_for(2ms);
        }
        ADD_FAILURE() << "the query did not finish";
        return nullptr;
    }
    // Polls until the query's state is the given one.
    void WaitState(IRequestProcessor* processor, const QxNodePtr& handle, const std::string& state)
    {
        const auto limit = std::chrono::steady_clock::now() + kWaitLimit;
        while (std::chrono::steady_clock::now() < limit) {
            const QxNodePtr answer = Poll(processor, handle);
            if (answer && answer.GetAttributeOr("State", "") == state) return;
            std::this_thread::sleep_for(2ms);
        }
        ADD_FAILURE() << "the query never reached " << state;
    }
    static int32_t ErrorCode(const QxNodePtr& answer) { return answer.GetAttributeOr<int32_t>("Error_Result", 0); }
    static std::string ErrorTextOf(const QxNodePtr& answer) { return answer.GetAttributeOr("Error_Serialized", ""); }

    static constexpr const char* kByWho =
        R"(<nr><Query q:name="ByWho" Sql="SELECT Who AS w, count(*) AS n FROM AuditRecords GROUP BY Who ORDER BY Who"
           Columns:strs="c.G3|Count"/></nr>)";
    static constexpr const char* kSlow = R"(<nr><Query q:name="Slow" Sql="WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL
           SELECT x + 1 FROM c WHERE x &lt; 2000000000) SELECT 'x' AS Who, count(*) AS Count FROM c"
           Columns:strs="Who|Count"/></nr>)";

    TempDir m_dir;
    std::string m_path = m_dir.File("reporting.db");
    HRESULT m_lastCode = S_OK;
    std::string m_lastText;
};

TEST_F(QueriesProcessorTest, StatusOneWhileRunningThenRowsWithAttributesAndCount)
{
    Latch latch;
    const Processor processor = Make("", [&](const QxNodePtr& query) {
        latch.Wait();
        return SqlFromNode(query);
    });
    const QxNodePtr handle = Send(processor.Get(), kByWho);
    ASSERT_TRUE(handle);
    EXPECT_EQ("QueryHandle", handle.GetType());
    GUID id{};
    EXPECT_TRUE(handle.GetAttribute("Handle", id));

    WaitState(processor.Get(), handle, "Running");
    const QxNodePtr running = Poll(processor.Get(), handle);
    EXPECT_EQ(1, running.GetRequiredAttribute<int32_t>("Status"));
    EXPECT_EQ(0u, running.GetChildCount());

    latch.Open();
    const QxNodePtr result = WaitResult(processor.Get(), handle);
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
    const QxNodePtr again = Poll(processor.Get(), handle);
    EXPECT_EQ("Result", again.GetName());
    EXPECT_EQ(2u, again.GetChildCount());
}

TEST_F(QueriesProcessorTest, FreeResultDropsTheHandleAndUnknownHandlesAreClearErrors)
{
    const Processor processor = Make();
    const QxNodePtr handle = Send(processor.Get(), kByWho);
    ASSERT_TRUE(WaitResult(processor.Get(), handle));
    EXPECT_EQ(1u, processor->HeldQueries());

    const QxNodePtr freed = Call(processor.Get(), FreeRequest(handle));
    EXPECT_EQ(S_OK, m_lastCode);
    EXPECT_TRUE(freed);
    EXPECT_EQ(0u, processor->HeldQueries());

    EXPECT_FALSE(Poll(processor.Get(), handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("Unknown query handle {")) << m_lastText;
    Call(processor.Get(), FreeRequest(handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);

    Call(processor.Get(),
         QxNodePtr::Parse(R"(<nr><QueryHandle Handle:guid="{01234567-89AB-CDEF-0123-456789ABCDEF}"/></nr>)"));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("{01234567-89AB-CDEF-0123-456789ABCDEF}")) << m_lastText;

    Call(processor.Get(), QxNodePtr::Parse(R"(<nr><Something q:name="x"/></nr>)"));
    EXPECT_EQ(E_INVALIDARG, m_lastCode);
    EXPECT_NE(std::string::npos, m_lastText.find("'Query'")) << m_lastText;
}

TEST_F(QueriesProcessorTest, FreeingARunningQueryInterruptsIt)
{
    const Processor processor = Make(R"(Workers:i32="1")");
    const QxNodePtr slow = Send(processor.Get(), kSlow);
    WaitState(processor.Get(), slow, "Running");
    std::this_thread::sleep_for(20ms);  // well inside the statement
    const auto freedAt = std::chrono::steady_clock::now();
    Call(processor.Get(), FreeRequest(slow));
    EXPECT_EQ(S_OK, m_lastCode);

    // The only worker is free again at once: the next query is answered long before the slow one could end.
    const QxNodePtr next = Send(processor.Get(), kByWho);
    const QxNodePtr result = WaitResult(processor.Get(), next);
    ASSERT_TRUE(result);
    EXPECT_EQ(0, ErrorCode(result));
    EXPECT_LT(std::chrono::steady_clock::now() - freedAt, 5s);
}

TEST_F(QueriesProcessorTest, ResultsNobodyPollsExpireOnTheInjectedClock)
{
    ManualClock clock;
    const Processor processor = Make(R"(Workers:i32="1" ResultTtlMs:i64="1000")");
    const QxNodePtr handle = Send(processor.Get(), kByWho);
    ASSERT_TRUE(WaitResult(processor.Get(), handle));
    clock.Advance(999ms);
    EXPECT_TRUE(Poll(processor.Get(), handle)) << "a poll inside the time to live must find the result";
    clock.Advance(999ms);
    EXPECT_TRUE(Poll(processor.Get(), handle)) << "each poll starts the time to live again";
    clock.Advance(1000ms);
    EXPECT_FALSE(Poll(processor.Get(), handle));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_EQ(0u, processor->HeldQueries());

    // A running query that nobody polls expires too, and its worker is freed.
    const QxNodePtr slow = Send(processor.Get(), kSlow);
    WaitState(processor.Get(), slow, "Running");
    clock.Advance(1000ms);
    const QxNodePtr next = Send(processor.Get(), kByWho);  // any request sweeps
    EXPECT_FALSE(Poll(processor.Get(), slow));
    const QxNodePtr result = WaitResult(processor.Get(), next);
    ASSERT_TRUE(result);
    EXPECT_EQ(0, ErrorCode(result));
}

TEST_F(QueriesProcessorTest, RowLimitFailsWithItsCodeAndTopTakesTheFirstRows)
{
    const Processor processor = Make(R"(MaxRows:i64="4")");
    const char* everyRecord =
        R"(<nr><Query q:name="All" Sql="SELECT What, 1 AS Count FROM AuditRecords ORDER BY Id" Columns:strs="What|Count"/></nr>)";
    const QxNodePtr over = WaitResult(processor.Get(), Send(processor.Get(), everyRecord));
    ASSERT_TRUE(over);
    EXPECT_EQ(2, over.GetRequiredAttribute<int32_t>("Status"));
    EXPECT_EQ(static_cast<int32_t>(kHrQueryRowLimit), ErrorCode(over));
    EXPECT_EQ(0u, over.GetChildCount());
    EXPECT_EQ(0u, ErrorTextOf(over).find("0x80041911 The query result exceeded the row limit: the result has more "
                                         "than 4 rows (MaxRows 4)"))
        << ErrorTextOf(over);

    // The presence query's shape: rows without a count, "Top" 1.
    const QxNodePtr top = WaitResult(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="Top"
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
    const QxNodePtr answer = WaitResult(processor.Get(), Send(processor.Get(), kSlow));
    ASSERT_TRUE(answer);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
    EXPECT_EQ(static_cast<int32_t>(kHrQueryTimeLimit), ErrorCode(answer));
    EXPECT_EQ(0u, ErrorTextOf(answer).find("0x80041910 The query exceeded its time limit: it ran longer than 100 ms "
                                           "(QueryTimeLimitMs)"))
        << ErrorTextOf(answer);
}

TEST_F(QueriesProcessorTest, QueriesPastTheConcurrencyLimitAreAnsweredBusy)
{
    Latch latch;
    const Processor processor = Make(R"(Workers:i32="1" MaxConcurrentQueries:i32="2")", [&](const QxNodePtr& query) {
        latch.Wait();
        return SqlFromNode(query);
    });
    const QxNodePtr first = Send(processor.Get(), kByWho);   // running (held by the latch)
    const QxNodePtr second = Send(processor.Get(), kByWho);  // queued
    const QxNodePtr third = Send(processor.Get(), kByWho);   // refused, in its own answer
    ASSERT_TRUE(third);
    const QxNodePtr refused = Poll(processor.Get(), third);
    ASSERT_TRUE(refused);
    EXPECT_EQ(2, refused.GetRequiredAttribute<int32_t>("Status"));
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseBusy), ErrorCode(refused));
    EXPECT_EQ(0u, ErrorTextOf(refused).find("0x80040C0B The reporting database is busy: 2 queries are running or "
                                            "waiting (MaxConcurrentQueries 2)"))
        << ErrorTextOf(refused);

    // Freeing a queued query gives its place back at once.
    Call(processor.Get(), FreeRequest(second));
    const QxNodePtr fourth = Send(processor.Get(), kByWho);
    EXPECT_EQ(1, Poll(processor.Get(), fourth).GetRequiredAttribute<int32_t>("Status"));
    latch.Open();
    EXPECT_EQ(0, ErrorCode(WaitResult(processor.Get(), first)));
    EXPECT_EQ(0, ErrorCode(WaitResult(processor.Get(), fourth)));
}

TEST_F(QueriesProcessorTest, UnavailableAndBusyDatabasesGiveTheTolerantCodes)
{
    const std::string missing = m_dir.File("later.db");
    const QxNodePtr config = QxNodePtr::Parse("<nr><QueriesProcessor DatabasePath=\"" + missing +
                                              "\" Workers:i32=\"1\" BusyTimeoutMs:i32=\"50\"/></nr>");
    const Processor processor = CreateComponent<CQueriesProcessor>(
        ReadQueriesProcessorOptions(config, false), SqlFromNode, [missing] { return OpenSqlite(missing, false, 50); });

    const QxNodePtr unavailable = WaitResult(processor.Get(), Send(processor.Get(), kByWho));
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseUnavailable), ErrorCode(unavailable));
    EXPECT_EQ(0u, ErrorTextOf(unavailable).find("0x80040C0A The reporting database is unavailable: cannot open"))
        << ErrorTextOf(unavailable);
    EXPECT_NE(std::string::npos, ErrorTextOf(unavailable).find("later.db"));

    MakeSmallDatabase(missing);  // the worker opens it at the next query
    EXPECT_EQ(0, ErrorCode(WaitResult(processor.Get(), Send(processor.Get(), kByWho))));

    const auto holder = OpenSqlite(missing, false);
    holder->Execute("BEGIN EXCLUSIVE");
    const QxNodePtr busy = WaitResult(processor.Get(), Send(processor.Get(), kByWho));
    EXPECT_EQ(static_cast<int32_t>(kHrDatabaseBusy), ErrorCode(busy));
    EXPECT_EQ(0u, ErrorTextOf(busy).find("0x80040C0B The reporting database is busy: ")) << ErrorTextOf(busy);
    holder->Execute("ROLLBACK");
    EXPECT_EQ(0, ErrorCode(WaitResult(processor.Get(), Send(processor.Get(), kByWho))));
}

TEST_F(QueriesProcessorTest, TranslationAndStatementFailuresKeepTheirCodes)
{
    const Processor processor = Make("", [](const QxNodePtr& query) -> TranslatedQuery {
        if (query.GetName() == "Bad") ThrowHrWithDescription(kHrInvalidData, "unknown column 'Nope'");
        return SqlFromNode(query);
    });
    const QxNodePtr bad = WaitResult(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="Bad"/></nr>)"));
    EXPECT_EQ(static_cast<int32_t>(kHrInvalidData), ErrorCode(bad));
    EXPECT_EQ(0u, ErrorTextOf(bad).find("0x8007000D unknown column 'Nope'")) << ErrorTextOf(bad);

    const QxNodePtr wrongColumns = WaitResult(processor.Get(), Send(processor.Get(), R"(<nr><Query q:name="W"
        Sql="SELECT 1, 2, 3" Columns:strs="Who|Count"/></nr>)"));
    EXPECT_EQ(static_cast<int32_t>(kHrInvalidData), ErrorCode(wrongColumns));
    EXPECT_NE(std::string::npos, ErrorTextOf(wrongColumns).find("gives 3 columns but the translation names 2"));
}

TEST_F(QueriesProcessorTest, ShutdownInterruptsDropsAndRefuses)
{
    const Processor processor = Make(R"(Workers:i32="1")");
    const QxNodePtr slow = Send(processor.Get(), kSlow);
    WaitState(processor.Get(), slow, "Running");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, processor->Shutdown());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(Poll(processor.Get(), slow));
    EXPECT_EQ(kHrNotFound, m_lastCode);
    EXPECT_FALSE(Call(processor.Get(), QxNodePtr::Parse(kByWho)));
    EXPECT_EQ(kHrDatabaseUnavailable, m_lastCode);
    EXPECT_EQ(S_OK, processor->Shutdown());
}

TEST_F(QueriesProcessorTest, ReachedThroughTheServiceClientUnderItsUri)
{
    const Processor processor = Make(R"(Uri="Service.ReportingQueries")");
    const auto client = CreateComponent<host::CServiceClient>();
    client->RegisterService("Service.ReportingQueries", static_cast<IRequestProcessor*>(processor.Get()));
    ComPtr<IServiceProxy> proxy;
    ASSERT_EQ(S_OK, client->CreateProxy(u"Service.ReportingQueries", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    const QxNodePtr handle = Send(proxy.Get(), kByWho);
    EXPECT_EQ(2u, WaitResult(proxy.Get(), handle).GetChildCount());
    Call(proxy.Get(), FreeRequest(handle));
    EXPECT_EQ(S_OK, m_lastCode);
    ComPtr<IComponentWithShutdown> shutdown;
    ASSERT_EQ(S_OK, proxy->QueryInterface(&IComponentWithShutdown::kIid, shutdown.PutVoid()));
}

TEST(QueriesProcessorOptions, DefaultsRangesAndRequiredItems)
{
    const QueriesProcessorOptions defaults = ReadQueriesProcessorOptions(
        QxNodePtr::Parse(R"(<nr><QueriesProcessor DatabasePath="/r.db"><QueryTemplates/></QueriesProcessor></nr>)"));
    EXPECT_EQ("Service.QueriesProcessor", defaults.uri);
    EXPECT_EQ(2, defaults.workers);
    EXPECT_EQ(8, defaults.maxConcurrentQueries);
    EXPECT_EQ(100000, defaults.maxRows);
    EXPECT_EQ(30000, defaults.queryTimeLimitMs);
    EXPECT_EQ(600000, defaults.resultTtlMs);
    EXPECT_EQ(5000, defaults.busyTimeoutMs);
    EXPECT_TRUE(defaults.queryTemplates);

    const auto codeOf = [](const std::string& text) {
        try {
            ReadQueriesProcessorOptions(QxNodePtr::Parse(text));
        } catch (const HRX& error) {
            return error.Code();
        }
        return S_OK;
    };
    EXPECT_EQ(kHrNotFound, codeOf(R"(<nr><QueriesProcessor><QueryTemplates/></QueriesProcessor></nr>)"));
    EXPECT_EQ(kHrNotFound, codeOf(R"(<nr><QueriesProcessor DatabasePath="/r.db"/></nr>)"));
    EXPECT_EQ(
        kHrInvalidData,
        codeOf(
            R"(<nr><QueriesProcessor DatabasePath="/r.db" Workers:i32="0"><QueryTemplates/></QueriesProcessor></nr>)"));
    EXPECT_EQ(
        kHrInvalidData,
        codeOf(
            R"(<nr><QueriesProcessor DatabasePath="/r.db" MaxRows="many"><QueryTemplates/></QueriesProcessor></nr>)"));
}

TEST(ReportingMessages, AgreeWithTheShippedMessageTable)
{
    std::unique_ptr<MessageTable> table;
    ASSERT_EQ(0u, MessageTable::Load(std::string(CORVANE_SOURCE_DIR) + "/data/Faultbook.dll.txt", table));
    for (const ReportingMessage& message : ReportingMessages()) {
        const auto text = table->FindMessage(static_cast<uint32_t>(message.code));
        ASSERT_TRUE(text) << Hex(message.code);
        EXPECT_EQ(message.text, *text) << Hex(message.code);
    }
    // The description of an error starts with the table's words, so logs and dashboards read alike.
    EXPECT_EQ(
        0u,
        ErrorText(MakeReportingError(kHrQueryTimeLimit, "x")).find("0x80041910 The query exceeded its time limit: x"));
}

}  // namespace
}  // namespace corvane::reporting::test
