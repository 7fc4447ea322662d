// The periodic worker: timing of runs, stopping, and runs that fail or end their own worker.
#include "common/Helpers/AsyncAction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using test::Collector;

TEST(AsyncAction, FirstDelayThenPeriodFromTheEndOfARunWithoutOverlap)
{
    Collector once;
    const auto start = steady_clock::now();
    CAsyncAction single(20ms, 0ms, [&](CAsyncAction&) { once.Add("run"); });
    CAsyncAction slow(uint64_t{1}, uint64_t{0}, [&](CAsyncAction&) { once.Add("slow"); });  // seconds
    ASSERT_TRUE(once.WaitFor(1));
    EXPECT_GE(steady_clock::now() - start, 20ms);
    EXPECT_FALSE(once.WaitFor(2, 200ms));  // period zero runs once; the seconds delay is not milliseconds

    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::mutex timesLock;
    std::vector<std::pair<steady_clock::time_point, steady_clock::time_point>> times;  // start and end of each run
    Collector runs;
    CAsyncAction worker(0ms, 10ms, [&](CAsyncAction&) {
        if (running.fetch_add(1) != 0) overlapped = true;
        const auto begin = steady_clock::now();
        std::this_thread::sleep_for(5ms);
        {
            std::lock_guard guard(timesLock);
            times.emplace_back(begin, steady_clock::now());
        }
        running.fetch_sub(1);
        runs.Add("run");
    });
    ASSERT_TRUE(runs.WaitFor(4));
    EXPECT_FALSE(overlapped);
    std::lock_guard guard(timesLock);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i].first - times[i - 1].second, 10ms);
}

TEST(AsyncAction, DestructionEndsTheWaitAtOnceAndWaitsForARunningAction)
{
    for (const auto delaySec : {uint64_t{3600}, CAsyncAction::kInfiniteSec, ~uint64_t{0}}) {
        Collector runs;
        const auto start = steady_clock::now();
        {
            CAsyncAction worker(delaySec, delaySec, [&](CAsyncAction&) { runs.Add("run"); });
            std::this_thread::sleep_for(5ms);  // let the thread reach its wait
        }
        EXPECT_LT(steady_clock::now() - start, 2s) << delaySec;
        EXPECT_TRUE(runs.Items().empty()) << delaySec;
    }

    Collector started;
    std::atomic<bool> sawStop{false}, finished{false};
    {
        CAsyncAction worker(0ms, 0ms, [&](CAsyncAction& self) {
            started.Add("run");
            test::WaitUntil([&] { return self.IsStopRequested(); });
            sawStop = self.IsStopRequested();
            std::this_thread::sleep_for(50ms);
            finished = true;
        });
        ASSERT_TRUE(started.WaitFor(1));
    }
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(finished);
}

TEST(AsyncAction, AnActionMayDestroyItsOwnWorker)
{
    std::mutex lock;
    std::unique_ptr<CAsyncAction> worker;
    Collector runs;
    {
        std::lock_guard guard(lock);
        worker = std::make_unique<CAsyncAction>(0ms, 1ms, [&](CAsyncAction&) {
            std::unique_ptr<CAsyncAction> self;
            {
                std::lock_guard inner(lock);
                self = std::move(worker);
            }
            self.reset();
            runs.Add("run");
        });
    }
    ASSERT_TRUE(runs.WaitFor(1));
    EXPECT_FALSE(runs.WaitFor(2, 50ms));
}

TEST(AsyncAction, AFailingRunDoesNotEndTheLoopAndBadArgumentsAreRefused)
{
    Collector runs;
    test::LogCapture log;
    {
        CAsyncAction worker(0ms, 1ms, [&](CAsyncAction&) {
            runs.Add("run");
            if (runs.Items().size() == 1) ThrowHr(E_ACCESSDENIED);
            if (runs.Items().size() == 2) throw std::runtime_error("second run");
        });
        EXPECT_TRUE(runs.WaitFor(3));
    }
    EXPECT_EQ(log.Count("| WARN "), 0u) << "the action reports its own failures";

    const auto nothing = [](CAsyncAction&) {};
    EXPECT_EQ(test::CodeOf([&] { CAsyncAction bad(-1ms, 0ms, nothing); }), E_INVALIDARG);
    EXPECT_EQ(test::CodeOf([&] { CAsyncAction bad(0ms, -5ms, nothing); }), E_INVALIDARG);
    EXPECT_EQ(test::CodeOf([] { CAsyncAction bad(0ms, 0ms, CAsyncAction::Action()); }), E_INVALIDARG);
}

}  // namespace
}  // namespace cvn
