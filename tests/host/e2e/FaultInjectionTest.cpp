// The default dashboard through the module while one of its queries goes
// wrong, at the queries processor or at the database: the struck sub-request
// answers its code (or the whole answer fails with it, for the codes the module
// does not keep per sub-request), every other one keeps its counts, and neither
// the module nor the queries processor keeps anything or any thread after it.
#include <future>

#include "common/ErrorHandling/ResultCodes.h"
#include "tests/host/e2e/InProcessHost.h"
#include "tests/support/FaultInjection.h"

namespace cvn::test {
namespace {

using Kind = Fault::Kind;
using reporting::StorageErrorKind;

// Every fault strikes this sub-request: its query carries its name, and its statement is the
// dashboard's only one that names its column.
constexpr const char* kStruck = "ChangesByObjectType";
constexpr const char* kStruckColumn = "\"ObjectType\"";
constexpr size_t kSubRequests = 8;

enum class Outcome {
    SubRequestFails,  ///< the struck sub-request answers the code; the answer completes
    AnswerFails,      ///< the answer that meets the struck sub-request fails with the code
    RequestRefused,   ///< the new request is refused with the code and gets no cookie
    Delayed,          ///< the answer waits for the held result, then completes whole
    FreedWhileHeld,   ///< the cookie is freed while the result is held; the late result is dropped
};

struct Case {
    const char* name;
    Fault fault;
    Outcome outcome;
    HRESULT code = S_OK;
};

std::string Text(const QxNodePtr& node)
{
    return node.ToText(QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8);
}

Fault AtQuery(Kind kind, HRESULT code = S_OK)
{
    return {.kind = kind, .code = code, .query = kStruck};
}

/// The struck statement fails with the error once afterRows of its rows were stepped.
Fault AtStatement(StorageErrorKind error, int64_t afterRows = 0)
{
    return {.kind = Kind::StorageFailure,
            .storageError = error,
            .afterRows = afterRows,
            .query = kStruck,
            .statement = kStruckColumn};
}

/// The struck statement's connection drops after two of its rows; holdClose: closing it takes a while.
Fault DropAtStatement(bool holdClose = false)
{
    return {.kind = Kind::DropConnection,
            .afterRows = 2,
            .query = kStruck,
            .statement = kStruckColumn,
            .holdClose = holdClose};
}

using enum Outcome;
using enum StorageErrorKind;

const Case kCases[] = {
    {"result unavailable", AtQuery(Kind::FailResult, kHrDatabaseUnavailable), SubRequestFails, kHrDatabaseUnavailable},
    {"result busy", AtQuery(Kind::FailResult, kHrDatabaseBusy), SubRequestFails, kHrDatabaseBusy},
    {"result time limit", AtQuery(Kind::FailResult, kHrQueryTimeLimit), SubRequestFails, kHrQueryTimeLimit},
    {"result row limit", AtQuery(Kind::FailResult, kHrQueryRowLimit), SubRequestFails, kHrQueryRowLimit},
    {"result aborted", AtQuery(Kind::FailResult, E_ABORT), AnswerFails, E_ABORT},
    {"result invalid", AtQuery(Kind::FailResult, kHrInvalidData), AnswerFails, kHrInvalidData},
    {"result failed", AtQuery(Kind::FailResult, E_FAIL), AnswerFails, E_FAIL},
    {"result unexpected", AtQuery(Kind::FailResult, E_UNEXPECTED), AnswerFails, E_UNEXPECTED},
    {"poll busy", AtQuery(Kind::FailPoll, kHrDatabaseBusy), SubRequestFails, kHrDatabaseBusy},
    {"poll of an expired handle", AtQuery(Kind::FailPoll, kHrNotFound), AnswerFails, kHrNotFound},
    {"query refused", AtQuery(Kind::FailAccept, kHrDatabaseUnavailable), RequestRefused, kHrDatabaseUnavailable},
    {"result delayed", AtQuery(Kind::Delay), Delayed},
    {"result after free", AtQuery(Kind::Delay), FreedWhileHeld},
    {"storage unavailable", AtStatement(Unavailable), SubRequestFails, kHrDatabaseUnavailable},
    {"storage busy", AtStatement(Busy), SubRequestFails, kHrDatabaseBusy},
    {"storage timed out", AtStatement(TimedOut, 1), SubRequestFails, kHrQueryTimeLimit},
    {"storage interrupted", AtStatement(Interrupted), AnswerFails, E_ABORT},
    {"storage invalid", AtStatement(Invalid), AnswerFails, kHrInvalidData},
    {"storage other", AtStatement(Other), AnswerFails, E_FAIL},
    {"connection dropped mid-query", DropAtStatement(), SubRequestFails, kHrDatabaseUnavailable},
    {"dropped connection closing while freed", DropAtStatement(true), FreedWhileHeld},
};

class FaultInjection : public InProcessHost {
protected:
    static void SetUpTestSuite()
    {
        s_faults = new FaultInjector;
        StartHost({}, false, s_faults->WrapConnections());
        s_faults->InstallInFront(*s_host->ServiceClient(),
                                 s_host->Config().queriesProcessor.GetAttributeOr("Uri", "Service.QueriesProcessor"));
    }
    static void TearDownTestSuite()
    {
        s_faults->Arm({});  // nothing held back stops the host from stopping
        InProcessHost::TearDownTestSuite();
        delete s_faults;
        s_faults = nullptr;
    }

    /// One dashboard: its first and last answers, and each sub-response as it was first delivered.
    struct Run {
        QxNodePtr first;
        QxNodePtr last;
        GUID token{};
        std::map<std::string, QxNodePtr> delivered;

        void Take(const QxNodePtr& answer)
        {
            last = answer;
            for (const QxNodePtr& sub : answer.GetChildren())
                if (sub.GetType() == "RetrieveCountersSubResponse" && hostmain::RetrieveStatusOf(sub) != 0)
                    delivered.emplace(sub.GetName(), sub);
        }
        /// Partial polls until the answer ends or `count` sub-requests are delivered.
        void PollUntil(size_t count)
        {
            for (int i = 0; i < 100 && hostmain::RetrieveStatusOf(last) == 0 && delivered.size() < count; ++i)
                Take(Poll(token));
        }
    };

    static Run Start()
    {
        Run run;
        run.first = Send(ReadFile(s_dir->File("config/dashboard.xml")));
        run.Take(run.first);
        if (const QxNodePtr cookie = run.first.GetChild("RetrieveCookie", false))
            cookie.GetAttribute("Token", run.token);
        return run;
    }

    /// A dashboard without faults, whole: the rows of each sub-request.
    static std::map<std::string, Rows> WholeDashboard()
    {
        Run run = Start();
        run.PollUntil(kSubRequests);
        EXPECT_EQ(hostmain::RetrieveStatusOf(run.last), 1) << Text(run.last);
        std::map<std::string, Rows> rows;
        for (const auto& [name, sub] : run.delivered) {
            EXPECT_EQ(hostmain::RetrieveStatusOf(sub), 1) << Text(sub);
            rows[name] = RowsOf(sub);
        }
        EXPECT_EQ(rows.size(), kSubRequests);
        return rows;
    }

    /// The threads once those of a finished dashboard have gone: the fewest seen over a few reads.
    static size_t SettledThreads()
    {
        size_t fewest = ThreadCount();
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            fewest = std::min(fewest, ThreadCount());
        }
        return fewest;
    }

    static inline FaultInjector* s_faults = nullptr;
};

TEST_F(FaultInjection, StruckQueryAnswersItsCodeTheOthersTheirCountsAndNothingStays)
{
    const std::map<std::string, Rows> expected = WholeDashboard();
    ASSERT_EQ(expected.size(), kSubRequests);
    ASSERT_GT(expected.at(kStruck).size(), 2u) << "the connection drops after two of its rows";
    ASSERT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }));
    const size_t threads = SettledThreads();

    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        s_faults->Arm(c.fault);
        Run run = Start();
        switch (c.outcome) {
            case Outcome::RequestRefused:
                EXPECT_EQ(hostmain::ResultCodeOf(run.first), c.code) << Text(run.first);
                EXPECT_EQ(hostmain::RetrieveStatusOf(run.first), 2);
                EXPECT_FALSE(run.first.GetChild("RetrieveCookie", false));
                break;
            case Outcome::Delayed:
            case Outcome::FreedWhileHeld: {
                run.PollUntil(kSubRequests - 1);
                ASSERT_TRUE(s_faults->WaitUntilHeld());
                EXPECT_EQ(hostmain::RetrieveStatusOf(run.last), 0) << "the held result is still awaited";
                EXPECT_EQ(run.delivered.count(kStruck), 0u);
                if (c.outcome == Outcome::Delayed) {
                    s_faults->Release();
                    run.PollUntil(kSubRequests);
                    EXPECT_EQ(hostmain::RetrieveStatusOf(run.last), 1) << Text(run.last);
                    break;
                }
                // From another thread: freeing may wait for the struck query's task, which waits for what is held.
                auto freeing = std::async(std::launch::async, [&] { return Poll(run.token, "FreeCookieRequest"); });
                EXPECT_TRUE(s_faults->WaitUntilQueryFreed());
                s_faults->Release();
                const QxNodePtr freed = freeing.get();
                EXPECT_EQ(hostmain::ResultCodeOf(freed), 0) << Text(freed);
                break;
            }
            case Outcome::SubRequestFails:
            case Outcome::AnswerFails: {
                run.PollUntil(kSubRequests);
                const bool whole = c.outcome == Outcome::SubRequestFails;
                EXPECT_EQ(hostmain::RetrieveStatusOf(run.last), whole ? 1 : 2) << Text(run.last);
                EXPECT_EQ(hostmain::ResultCodeOf(run.last), whole ? S_OK : c.code);
                ASSERT_EQ(run.delivered.count(kStruck), 1u) << Text(run.last);
                const QxNodePtr& struck = run.delivered.at(kStruck);
                EXPECT_EQ(hostmain::RetrieveStatusOf(struck), 2);
                EXPECT_EQ(hostmain::ResultCodeOf(struck), c.code) << Text(struck);
                break;
            }
        }
        EXPECT_EQ(s_faults->Struck(), 1);
        s_faults->Arm({});
        EXPECT_EQ(s_faults->InterruptsWhileClosing(), 0)
            << "a connection was interrupted after it was handed to be closed";

        // Nothing lost: whatever was delivered besides the struck sub-request holds its counts, and all of
        // it when the answer completes.
        for (const auto& [name, sub] : run.delivered) {
            if (name == kStruck && c.outcome != Outcome::Delayed) continue;
            EXPECT_EQ(hostmain::RetrieveStatusOf(sub), 1) << name;
            EXPECT_EQ(RowsOf(sub), expected.at(name)) << name;
        }
        if (hostmain::RetrieveStatusOf(run.last) == 1) {
            EXPECT_EQ(run.delivered.size(), kSubRequests);
        }

        // Nothing left behind: the cookie is unknown, the processor holds no query, no thread stays.
        if (run.token != GUID{}) {
            const QxNodePtr gone = Poll(run.token);
            EXPECT_EQ(hostmain::ResultCodeOf(gone), kHrNotFound) << Text(gone);
            EXPECT_EQ(hostmain::RetrieveStatusOf(gone), 2);
        }
        EXPECT_TRUE(WaitUntil([] { return s_host->QueriesProcessor()->HeldQueries() == 0; }))
            << s_host->QueriesProcessor()->HeldQueries() << " queries held";
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }))
            << ThreadCount() << " threads, " << threads << " before";
    }
    // Each case began where the one before left off; after the last, the dashboard is whole again (a
    // dropped connection was opened anew).
    EXPECT_EQ(WholeDashboard(), expected);
}

}  // namespace
}  // namespace cvn::test
