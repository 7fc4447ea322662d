// The periodic worker: timing of runs, stopping, and runs that outlast or end
// their own worker. Intervals are milliseconds so the suite stays fast.
#include "Helpers/AsyncAction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "ErrorHandling/HRX.h"
#include "module/Common/ServiceLayer/ServiceTestSupport.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

constexpr auto kGenerous = 10s;  // only reached when something is broken

// Counts runs and lets the test wait for a number of them.
class RunCounter {
public:
    // Notifies under the lock: a worker that outlives its owner may still be in here when the
    // test, woken, destroys the counter.
    void Add()
    {
        std::lock_guard guard(m_lock);
        ++m_runs;
        m_changed.notify_all();
    }
    bool WaitFor(int runs, std::chrono::milliseconds timeout = kGenerous)
    {
        std::unique_lock held(m_lock);
        return m_changed.wait_for(held, timeout, [&] { return m_runs >= runs; });
    }
    int Runs()
    {
        std::lock_guard guard(m_lock);
        return m_runs;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_runs = 0;
};

TEST(AsyncActionTiming, PeriodZeroRunsOnceAfterTheFirstDelay)
{
    RunCounter counter;
    const auto start = steady_clock::now();
    CAsyncAction worker(20ms, 0ms, [&](CAsyncAction&) { counter.Add(); });
    ASSERT_TRUE(counter.WaitFor(1));
    EXPECT_GE(steady_clock::now() - start, 20ms);
    EXPECT_FALSE(counter.WaitFor(2, 100ms));
}

TEST(AsyncActionTiming, PeriodIsMeasuredFromTheEndOfARunAndRunsNeverOverlap)
{
    RunCounter counter;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::mutex timesLock;
    std::vector<steady_clock::time_point> starts, ends;
    CAsyncAction worker(0ms, 10ms, [&](CAsyncAction&) {
        if (running.fetch_add(1) != 0) overlapped = true;
        {
            std::lock_guard guard(timesLock);
            starts.push_back(steady_clock::now());
        }
        std::this_thread::sleep_for(5ms);
        {
            std::lock_guard guard(timesLock);
            ends.push_back(steady_clock::now());
        }
        running.fetch_sub(1);
        counter.Add();
    });
    ASSERT_TRUE(counter.WaitFor(4));
    EXPECT_FALSE(overlapped);
    std::lock_guard guard(timesLock);
    for (size_t i = 1; i < starts.size() && i < ends.size() + 1; ++i) EXPECT_GE(starts[i] - ends[i - 1], 10ms);
}

TEST(AsyncActionTiming, SecondsConstructorWaitsItsWholeDelay)
{
    RunCounter counter;
    CAsyncAction worker(uint64_t{1}, uint64_t{0}, [&](CAsyncAction&) { counter.Add(); });
    EXPECT_FALSE(counter.WaitFor(1, 200ms));
}

TEST(AsyncActionStopping, DestructionDuringTheFirstDelayReturnsAtOnceWithoutRunning)
{
    for (const auto delaySec : {uint64_t{3600}, CAsyncAction::kInfiniteSec, ~uint64_t{0}}) {
        RunCounter counter;
        const auto start = steady_clock::now();
        {
            CAsyncAction worker(delaySec, delaySec, [&](CAsyncAction&) { counter.Add(); });
            std::this_thread::sleep_for(5ms);  // let the thread reach its wait
        }
        EXPECT_LT(steady_clock::now() - start, 2s) << delaySec;
        EXPECT_EQ(counter.Runs(), 0) << delaySec;
    }
}

TEST(AsyncActionStopping, DestructionDuringARunWaitsForItToFinish)
{
    RunCounter started;
    std::atomic<bool> finished{false};
    {
        CAsyncAction worker(0ms, 0ms, [&](CAsyncAction&) {
            started.Add();
            std::this_thread::sleep_for(50ms);
            finished = true;
        });
        ASSERT_TRUE(started.WaitFor(1));
    }
    EXPECT_TRUE(finished);
}

TEST(AsyncActionStopping, ALongActionSeesTheStopRequestWhileRunning)
{
    RunCounter started;
    std::atomic<bool> sawStop{false};
    {
        CAsyncAction worker(0ms, 0ms, [&](CAsyncAction& self) {
            started.Add();
            const auto deadline = steady_clock::now() + kGenerous;
            while (!self.IsStopRequested() && steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
            sawStop = self.IsStopRequested();
        });
        ASSERT_TRUE(started.WaitFor(1));
    }
    EXPECT_TRUE(sawStop);
}

TEST(AsyncActionStopping, AnActionMayDestroyItsOwnWorker)
{
    std::mutex lock;
    std::unique_ptr<CAsyncAction> worker;
    RunCounter counter;
    {
        std::lock_guard guard(lock);
        worker = std::make_unique<CAsyncAction>(0ms, 1ms, [&](CAsyncAction&) {
            std::unique_ptr<CAsyncAction> self;
            {
                std::lock_guard inner(lock);
                self = std::move(worker);
            }
            self.reset();
            counter.Add();
        });
    }
    ASSERT_TRUE(counter.WaitFor(1));
    EXPECT_FALSE(counter.WaitFor(2, 50ms));
}

TEST(AsyncActionFailures, AFailingRunDoesNotEndTheLoop)
{
    RunCounter counter;
    test::LogCapture log;
    CAsyncAction worker(0ms, 1ms, [&](CAsyncAction&) {
        counter.Add();
        if (counter.Runs() == 1) ThrowHr(E_ACCESSDENIED);
        if (counter.Runs() == 2) throw std::runtime_error("second run");
    });
    EXPECT_TRUE(counter.WaitFor(3));
    EXPECT_GE(log.Count("AsyncAction run failed"), 2u);
}

TEST(AsyncActionFailures, RefusesNegativeDurationsAndAnEmptyAction)
{
    const auto nothing = [](CAsyncAction&) {};
    EXPECT_EQ(test::CodeOf([&] { CAsyncAction worker(-1ms, 0ms, nothing); }), E_INVALIDARG);
    EXPECT_EQ(test::CodeOf([&] { CAsyncAction worker(0ms, -5ms, nothing); }), E_INVALIDARG);
    EXPECT_EQ(test::CodeOf([] { CAsyncAction worker(0ms, 0ms, CAsyncAction::Action()); }), E_INVALIDARG);
}

}  // namespace
}  // namespace corvane
