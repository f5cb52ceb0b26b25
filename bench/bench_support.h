// Shared by the bench executables: the result lines bench/run collects, the
// interval statistics of a tick series, and running Google Benchmark with
// its figures kept for those result lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Prints "result <key>=<value>" on stdout; bench/run reads these lines.
void result(const std::string &key, double value);
void result(const std::string &key, const std::string &value);

// Now on CLOCK_MONOTONIC, in nanoseconds.
std::int64_t now_ns();

// What a series of tick timestamps says, in microseconds except the counts.
struct IntervalStats {
    long ticks = 0;        // timestamps in the series
    double seconds = 0;    // the window the series was taken in
    double rate = 0;       // ticks per second over that window
    double p50 = 0;        // tick-to-tick interval, median
    double p99 = 0;        // tick-to-tick interval, 99th percentile
    double max = 0;        // longest tick-to-tick interval
    double dev_p99 = 0;    // |interval - nominal|, 99th percentile
    double dev_max = 0;    // |interval - nominal|, largest
    long late_periods = 0; // intervals of 1.5 nominal periods or more
    double wake_p50 = 0;   // time from the period's deadline to the tick, median
    double wake_p99 = 0;   // the same, 99th percentile
};

// Statistics of the tick timestamps `stamps` (ns, ascending) taken in a
// window of `window_ns` at a nominal period of `period_ns`, the deadlines
// being `first_deadline_ns` and every period after it. Percentiles are
// nearest-rank.
IntervalStats interval_stats(const std::vector<std::int64_t> &stamps, std::int64_t window_ns,
                             std::int64_t period_ns, std::int64_t first_deadline_ns);

// Writes the tick times, in ns after `start_ns`, one a line, to the file that
// BENCH_TICKS_DIR/<prefix>.ticks names, when BENCH_TICKS_DIR is set; for a
// closer look at a run.
void keep_ticks(const std::string &prefix, const std::vector<std::int64_t> &stamps,
                std::int64_t start_ns);

// Prints the statistics as result lines named <prefix>_rate, <prefix>_p50 ...
void report(const std::string &prefix, const IntervalStats &stats);

// Rebinds the timer control of a panel document: the one stelmoCallback
// "timer" becomes `callback`, and the number of the one stelmoInterval
// property becomes `interval_ms`. False, with `text` unchanged, when the
// document does not hold exactly one of each.
bool retime_panel(std::string &text, const std::string &callback, int interval_ms);

// Runs the registered Google Benchmark benchmarks (5 repetitions, the
// console table on stdout) and prints "result <prefix><name>_ns=<median real
// time per iteration>" for each. `argc`/`argv` may carry Google Benchmark's
// own options. False when a benchmark reported an error.
bool run_benchmarks(int argc, char **argv, const std::string &prefix);

// Checks that the counting allocator sees an allocation made on this thread;
// false (with a line on stderr) when it does not, so a count of zero proves
// nothing.
bool allocation_counter_works();

} // namespace bench
