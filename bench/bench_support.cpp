#include "bench/bench_support.h"

#include "bench/alloc_count.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <utility>

namespace bench {

void result(const std::string &key, double value)
{
    std::printf("result %s=%.10g\n", key.c_str(), value);
    std::fflush(stdout);
}

void result(const std::string &key, const std::string &value)
{
    std::printf("result %s=%s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
}

std::int64_t now_ns()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

namespace {

// Nearest-rank percentile of a sorted, non-empty series.
double percentile(const std::vector<double> &sorted, double p)
{
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * sorted.size()));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

} // namespace

IntervalStats interval_stats(const std::vector<std::int64_t> &stamps, std::int64_t window_ns,
                             std::int64_t period_ns, std::int64_t first_deadline_ns)
{
    IntervalStats s;
    s.ticks = static_cast<long>(stamps.size());
    s.seconds = static_cast<double>(window_ns) / 1e9;
    s.rate = s.seconds > 0 ? static_cast<double>(s.ticks) / s.seconds : 0;
    if (stamps.size() < 2)
        return s;

    std::vector<double> intervals;
    std::vector<double> deviations;
    intervals.reserve(stamps.size() - 1);
    deviations.reserve(stamps.size() - 1);
    const double nominal = static_cast<double>(period_ns) / 1e3;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        const double us = static_cast<double>(stamps[i] - stamps[i - 1]) / 1e3;
        intervals.push_back(us);
        deviations.push_back(std::fabs(us - nominal));
        if (us >= 1.5 * nominal)
            ++s.late_periods;
    }
    // A tick belongs to the last deadline at or before it.
    std::vector<double> wakes;
    wakes.reserve(stamps.size());
    for (const std::int64_t stamp : stamps) {
        const std::int64_t since = std::max<std::int64_t>(0, stamp - first_deadline_ns);
        wakes.push_back(static_cast<double>(since % period_ns) / 1e3);
    }
    std::sort(wakes.begin(), wakes.end());
    s.wake_p50 = percentile(wakes, 50);
    s.wake_p99 = percentile(wakes, 99);

    std::sort(intervals.begin(), intervals.end());
    std::sort(deviations.begin(), deviations.end());
    s.p50 = percentile(intervals, 50);
    s.p99 = percentile(intervals, 99);
    s.max = intervals.back();
    s.dev_p99 = percentile(deviations, 99);
    s.dev_max = deviations.back();
    return s;
}

void keep_ticks(const std::string &prefix, const std::vector<std::int64_t> &stamps,
                std::int64_t start_ns)
{
    const char *dir = std::getenv("BENCH_TICKS_DIR");
    if (!dir || !*dir)
        return;
    const std::string path = std::string(dir) + "/" + prefix + ".ticks";
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (!file) {
        std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
        return;
    }
    for (const std::int64_t stamp : stamps)
        std::fprintf(file, "%lld\n", static_cast<long long>(stamp - start_ns));
    std::fclose(file);
}

void report(const std::string &prefix, const IntervalStats &s)
{
    result(prefix + "_ticks", static_cast<double>(s.ticks));
    result(prefix + "_seconds", s.seconds);
    result(prefix + "_rate", s.rate);
    result(prefix + "_p50_us", s.p50);
    result(prefix + "_p99_us", s.p99);
    result(prefix + "_max_us", s.max);
    result(prefix + "_dev_p99_us", s.dev_p99);
    result(prefix + "_dev_max_us", s.dev_max);
    result(prefix + "_late", static_cast<double>(s.late_periods));
    result(prefix + "_wake_p50_us", s.wake_p50);
    result(prefix + "_wake_p99_us", s.wake_p99);
}

namespace {

// Where `what` occurs in `text`, when it occurs exactly once.
bool find_once(const std::string &text, const std::string &what, std::size_t &at)
{
    at = text.find(what);
    return at != std::string::npos && text.find(what, at + 1) == std::string::npos;
}

} // namespace

bool retime_panel(std::string &text, const std::string &callback, int interval_ms)
{
    const std::string old_callback = "<string>timer</string>";
    const std::string number = "<number>";
    std::size_t callback_at = 0;
    std::size_t property_at = 0;
    if (!find_once(text, old_callback, callback_at) ||
        !find_once(text, "<property name=\"stelmoInterval\"", property_at))
        return false;
    // The interval is the number inside the property element.
    const auto property_end = text.find("</property>", property_at);
    const auto open = text.find(number, property_at);
    const auto close = text.find("</number>", open);
    if (open == std::string::npos || close == std::string::npos || close > property_end)
        return false;

    const auto digits = open + number.size();
    std::string retimed = text;
    retimed.replace(digits, close - digits, std::to_string(interval_ms));
    // Found anew: a new interval of another length moves what follows it.
    retimed.replace(retimed.find(old_callback), old_callback.size(),
                    "<string>" + callback + "</string>");
    text = std::move(retimed);
    return true;
}

namespace {

// The console table as usual, and the median of each benchmark's repetitions
// kept for the result lines.
class KeepingReporter : public benchmark::ConsoleReporter {
public:
    KeepingReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians.emplace_back(run.run_name.function_name, nanoseconds(run));
        }
    }

    static double nanoseconds(const Run &run)
    {
        const double t = run.GetAdjustedRealTime();
        switch (run.time_unit) {
        case benchmark::kSecond:
            return t * 1e9;
        case benchmark::kMillisecond:
            return t * 1e6;
        case benchmark::kMicrosecond:
            return t * 1e3;
        case benchmark::kNanosecond:
            break;
        }
        return t;
    }

    std::vector<std::pair<std::string, double>> medians;
    bool failed = false;
};

} // namespace

bool run_benchmarks(int argc, char **argv, const std::string &prefix)
{
    std::vector<std::string> args{argc > 0 ? argv[0] : "bench", "--benchmark_repetitions=5",
                                  "--benchmark_min_time=0.2"};
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::vector<char *> pointers;
    for (std::string &a : args)
        pointers.push_back(a.data());
    int count = static_cast<int>(pointers.size());
    benchmark::Initialize(&count, pointers.data());

    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto &[name, ns] : reporter.medians)
        result(prefix + name + "_ns", ns);
    return !reporter.failed;
}

bool allocation_counter_works()
{
    // One allocation through operator new and one through malloc, each kept
    // visible to the optimiser so neither call can be left out.
    count_allocations(true);
    void *by_new = ::operator new(16);
    benchmark::DoNotOptimize(by_new);
    void *by_malloc = std::malloc(16);
    benchmark::DoNotOptimize(by_malloc);
    const long seen = allocations();
    count_allocations(false);
    ::operator delete(by_new);
    std::free(by_malloc);
    if (seen != 2) {
        std::fprintf(stderr,
                     "bench: the allocation counter saw %ld of 2 allocations; its counts "
                     "would prove nothing\n",
                     seen);
        return false;
    }
    return true;
}

} // namespace bench
