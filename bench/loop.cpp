// A bare tick loop: sleeps with clock_nanosleep(TIMER_ABSTIME) to deadlines
// one period apart and notes when it wakes. A period that has already passed
// on waking is skipped, as with the engine's timer: one tick, never a burst.
//
//   tick_loop fifo|other <period ms> <seconds>
//
// Prints, once the run is over, a line per tick: its time (CLOCK_MONOTONIC,
// seconds) and how late it woke after its deadline (nanoseconds). "fifo"
// runs at SCHED_FIFO priority 50; where the process may not, it prints one
// line on stderr and exits with status 3. "other" stays in
// SCHED_OTHER with the default timer slack, as an ordinary thread would.
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr long long NS_PER_S = 1'000'000'000;

long long now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * NS_PER_S + t.tv_nsec;
}

double number(const char *text)
{
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && *end == '\0' && value > 0 ? value : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool fifo = argc == 4 && std::strcmp(argv[1], "fifo") == 0;
    const bool other = argc == 4 && std::strcmp(argv[1], "other") == 0;
    const double period_ms = argc == 4 ? number(argv[2]) : 0;
    const double seconds = argc == 4 ? number(argv[3]) : 0;
    if (!(fifo || other) || period_ms == 0 || seconds == 0) {
        std::fprintf(stderr, "usage: tick_loop fifo|other <period ms> <seconds>\n");
        return 2;
    }
    if (fifo) {
        sched_param param{};
        param.sched_priority = 50;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
            std::fprintf(stderr, "tick_loop: SCHED_FIFO refused: %s\n", std::strerror(errno));
            return 3;
        }
    }

    const long long period = std::llround(period_ms * 1e6);
    const long long length = std::llround(seconds * 1e9);
    // Sized and written before the first tick, so no page fault lands in the loop.
    std::vector<long long> ticks(static_cast<std::size_t>(length / period) + 1);
    std::vector<long long> late(ticks.size());
    std::size_t count = 0;
    long long deadline = now_ns() + period;
    const long long end = deadline + length;
    while (deadline < end && count < ticks.size()) {
        const timespec at{static_cast<time_t>(deadline / NS_PER_S),
                          static_cast<long>(deadline % NS_PER_S)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        const long long woke = now_ns();
        late[count] = woke - deadline;
        ticks[count++] = woke;
        deadline += period;
        if (woke >= deadline)
            deadline += ((woke - deadline) / period + 1) * period;
    }
    for (std::size_t i = 0; i < count; ++i)
        std::printf("%lld.%09lld %lld\n", ticks[i] / NS_PER_S, ticks[i] % NS_PER_S, late[i]);
    return 0;
}
