// The clock seam: the manual clock as the process clock, and a periodic worker
// driven by the clock it is handed instead of by real time.
#include "common/Helpers/Clock.h"

#include <gtest/gtest.h>

#include <atomic>

#include "common/Helpers/AsyncAction.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn {
namespace {

using namespace std::chrono_literals;

TEST(Clock, ManualClocksNestAndTheFileTimeCountsFrom1601)
{
    const SystemTimePoint start = std::chrono::system_clock::from_time_t(0);
    {
        ManualClock outer(start);
        {
            ManualClock inner(start + 1h);
            EXPECT_EQ(SystemNow(), start + 1h);
        }
        EXPECT_EQ(SystemNow(), start) << "the outer clock is back";
        const SteadyTimePoint before = SteadyNow();
        outer.Advance(-5s);
        EXPECT_EQ(SystemNow(), start - 5s);
        EXPECT_EQ(SteadyNow(), before) << "steady time never goes back";
        EXPECT_EQ(FileTimeOf(SystemNow() + 5s), 116444736000000000ull);
    }
    EXPECT_NE(SystemNow(), start) << "the real clock is back";
}

// The first run waits for the clock to pass the delay; the next one the period after the end of a run.
TEST(Clock, AWorkerFollowsTheClockItIsHanded)
{
    ManualClock clock;
    test::Collector runs;
    std::atomic<int> count{0};
    CAsyncAction worker(1000ms, 500ms, [&](CAsyncAction&) { runs.Add(std::to_string(++count)); }, clock);
    clock.Advance(999ms);
    EXPECT_FALSE(runs.WaitFor(1, 20ms));
    clock.Advance(1ms);
    ASSERT_TRUE(runs.WaitFor(1));
    // The run's end and the next sleep race with this thread: keep moving until the second run comes.
    EXPECT_TRUE(test::WaitUntil([&] {
        clock.Advance(100ms);
        return count >= 2;
    }));
}

}  // namespace
}  // namespace cvn
