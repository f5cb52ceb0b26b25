// The bench's own instruments: the interval statistics, the rebinding of the
// panel's timer control and the counting allocator. A fault in them would
// print wrong figures with nothing failing, so bench/run runs this first.
#include "bench/alloc_count.h"
#include "bench/bench_support.h"

#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t US = 1000;
constexpr std::int64_t MS = 1000 * US;

// Tick times from the intervals between them, the first tick at `first`.
std::vector<std::int64_t> from_intervals(std::int64_t first, const std::vector<std::int64_t> &gaps)
{
    std::vector<std::int64_t> stamps{first};
    for (const std::int64_t gap : gaps)
        stamps.push_back(stamps.back() + gap);
    return stamps;
}

// --- interval statistics ---------------------------------------------------

TEST(IntervalStats, TicksOnTimeHaveNoDeviation)
{
    // 100 ticks, each 40 us after its deadline at 1, 2, ... 100 ms.
    std::vector<std::int64_t> stamps;
    for (int k = 1; k <= 100; ++k)
        stamps.push_back(k * MS + 40 * US);
    const auto s = bench::interval_stats(stamps, 100 * MS, MS, MS);
    EXPECT_EQ(s.ticks, 100);
    EXPECT_DOUBLE_EQ(s.rate, 1000.0);
    EXPECT_DOUBLE_EQ(s.p50, 1000.0);
    EXPECT_DOUBLE_EQ(s.p99, 1000.0);
    EXPECT_DOUBLE_EQ(s.max, 1000.0);
    EXPECT_DOUBLE_EQ(s.dev_p99, 0.0);
    EXPECT_EQ(s.late_periods, 0);
    EXPECT_DOUBLE_EQ(s.wake_p50, 40.0);
    EXPECT_DOUBLE_EQ(s.wake_p99, 40.0);
}

TEST(IntervalStats, PercentilesAreNearestRank)
{
    // Intervals of 1, 2, ... 100 us against a nominal 50 us.
    std::vector<std::int64_t> gaps;
    for (int us = 1; us <= 100; ++us)
        gaps.push_back(us * US);
    const auto s = bench::interval_stats(from_intervals(0, gaps), 10 * MS, 50 * US, 0);
    EXPECT_DOUBLE_EQ(s.p50, 50.0);
    EXPECT_DOUBLE_EQ(s.p99, 99.0);
    EXPECT_DOUBLE_EQ(s.max, 100.0);
    // Deviations 0, 1, 1, 2, 2 ... 49, 49, 50: the 99th of 100 is 49.
    EXPECT_DOUBLE_EQ(s.dev_p99, 49.0);
    EXPECT_DOUBLE_EQ(s.dev_max, 50.0);
    EXPECT_EQ(s.late_periods, 26); // 75 us and longer
}

TEST(IntervalStats, LateTicksDeviateBothWays)
{
    // A tick 500 us late makes one long and one short interval; a hold-up
    // of three periods makes one interval of four.
    const std::vector<std::int64_t> gaps{MS, 1500 * US, 500 * US, MS, 4 * MS, MS};
    const auto s = bench::interval_stats(from_intervals(MS, gaps), 10 * MS, MS, MS);
    EXPECT_DOUBLE_EQ(s.max, 4000.0);
    EXPECT_DOUBLE_EQ(s.dev_max, 3000.0);
    EXPECT_EQ(s.late_periods, 2); // 1.5 and 4 periods
    EXPECT_EQ(s.ticks, 7);
    EXPECT_DOUBLE_EQ(s.rate, 700.0);
    // Wake-ups: 0, 0, 500, 0, 0, 0, 0 us after the deadlines.
    EXPECT_DOUBLE_EQ(s.wake_p50, 0.0);
    EXPECT_DOUBLE_EQ(s.wake_p99, 500.0);
}

TEST(IntervalStats, OneTickHasNoIntervals)
{
    const auto s = bench::interval_stats({5 * MS}, 10 * MS, MS, MS);
    EXPECT_EQ(s.ticks, 1);
    EXPECT_DOUBLE_EQ(s.rate, 100.0);
    EXPECT_DOUBLE_EQ(s.max, 0.0);
}

// --- the panel's timer control ---------------------------------------------

const std::string TIMER_CONTROL = R"(<widget class="QWidget" name="stepTimer">
 <property name="stelmoCallback" stdset="0">
  <string>timer</string>
 </property>
 <property name="stelmoInterval" stdset="0">
  <number>10</number>
 </property>
</widget>
)";

TEST(RetimePanel, RebindsTheTimerControl)
{
    std::string text = "<widget class=\"QComboBox\"><number>10</number></widget>\n" + TIMER_CONTROL;
    ASSERT_TRUE(bench::retime_panel(text, "bench_tick", 1));
    EXPECT_NE(text.find("<string>bench_tick</string>"), std::string::npos);
    EXPECT_EQ(text.find("<string>timer</string>"), std::string::npos);
    EXPECT_NE(text.find("<number>1</number>\n </property>"), std::string::npos);
    // Numbers outside the interval property stay as they were.
    EXPECT_TRUE(text.starts_with("<widget class=\"QComboBox\"><number>10</number></widget>\n"));
}

TEST(RetimePanel, RefusesWhatItCannotReadUnambiguously)
{
    const std::string cases[] = {
        TIMER_CONTROL + TIMER_CONTROL,      // two timer controls
        "<string>timer</string>",           // no interval
        R"(<string>timer</string><property name="stelmoInterval" stdset="0">
           </property><number>5</number>)", // interval without a number
        R"(<property name="stelmoInterval"><number>5</number></property>)", // no callback
    };
    for (const std::string &original : cases) {
        std::string text = original;
        EXPECT_FALSE(bench::retime_panel(text, "bench_tick", 1)) << original;
        EXPECT_EQ(text, original);
    }
}

// --- the counting allocator ------------------------------------------------

struct alignas(64) Wide {
    char bytes[64];
};

TEST(AllocationCounter, CountsEveryWayOfAllocating)
{
    bench::count_allocations(true);
    int *one = new int(1);
    benchmark::DoNotOptimize(one);
    int *three = new int[3];
    benchmark::DoNotOptimize(three);
    Wide *wide = new Wide;
    benchmark::DoNotOptimize(wide);
    void *block = std::malloc(8);
    benchmark::DoNotOptimize(block);
    block = std::realloc(block, 4096);
    benchmark::DoNotOptimize(block);
    void *zeroed = std::calloc(4, 8);
    benchmark::DoNotOptimize(zeroed);
    void *aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 64, 128), 0);
    benchmark::DoNotOptimize(aligned);
    const long counted = bench::allocations();
    bench::count_allocations(false);

    EXPECT_EQ(counted, 7);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wide) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 64, 0u);
    delete one;
    delete[] three;
    delete wide;
    std::free(block);
    std::free(zeroed);
    std::free(aligned);
}

TEST(AllocationCounter, CountsOnlyWhileOnAndOnlyOnItsThread)
{
    bench::count_allocations(false);
    void *before = std::malloc(8);
    benchmark::DoNotOptimize(before);
    std::free(before);
    EXPECT_EQ(bench::allocations(), 0);

    // Starting a thread allocates on the starting thread, the first time
    // more than later (the C library keeps thread stacks for reuse). So: one
    // thread to settle that, one that allocates nothing, and one that
    // allocates; the last two must count the same here.
    const auto started = [](auto body) {
        bench::count_allocations(true);
        EXPECT_EQ(bench::allocations(), 0); // switching on starts from zero
        std::thread thread(body);
        thread.join();
        const long counted = bench::allocations();
        bench::count_allocations(false);
        return counted;
    };
    const auto allocating = [] {
        void *elsewhere = std::malloc(8);
        benchmark::DoNotOptimize(elsewhere);
        std::free(elsewhere);
    };
    started([] {});
    const long idle = started([] {});
    EXPECT_EQ(started(allocating), idle);
}

} // namespace
