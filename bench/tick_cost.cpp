// What one tick costs on the program's side: timer() driving the simulated
// rig through the real inp()/outp(), with the stand-in panel services.
//
//   tick_cost [Google Benchmark options]
//
// Prints the Google Benchmark table, then result lines: the median ns per
// tick, and the allocations counted across a million ticks (which must be 0).
// Exit status 1 when a tick allocated or the counter could not be trusted.
#include "bench/alloc_count.h"
#include "bench/bench_support.h"
#include "bench/stand_ins.h"

#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/ports/ports.h"
#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"

#include <benchmark/benchmark.h>

namespace {

// A fresh drive at power-on, the way the program starts: the first ticks are
// the reference run towards home, the rest jog.
void reset_drive()
{
    stp = 0;
    richt = 0;
    adresse = 0;
    taster = 0;
    aus = 0;
    nullpunkt = 0;
    zaehler = 0;
    schrittweite = 0;
    bench::direction_index = 1;
}

// One tick as the engine delivers it; every 100 ticks the operator reverses
// the direction, so the carriage keeps moving instead of resting at an end.
struct Jog {
    int count = 0;
    void tick()
    {
        timer(panelHandle, PANEL_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0);
        if (++count == 100) {
            count = 0;
            bench::direction_index ^= 1;
        }
    }
};

void timer_on_sim_rig(benchmark::State &state)
{
    stelmo::ports::SimRig rig;
    stelmo::ports::install(&rig);
    reset_drive();
    Jog jog;
    for (auto _ : state)
        jog.tick();
    state.counters["rig_steps_per_tick"] = benchmark::Counter(
        static_cast<double>(rig.state().steps), benchmark::Counter::kAvgIterations);
    stelmo::ports::install(nullptr);
}
BENCHMARK(timer_on_sim_rig);

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::run_benchmarks(argc, argv, "cost_"))
        return 1;

    if (!bench::allocation_counter_works())
        return 1;
    stelmo::ports::SimRig rig;
    stelmo::ports::install(&rig);
    reset_drive();
    Jog jog;
    constexpr long TICKS = 1000000;
    bench::count_allocations(true);
    for (long i = 0; i < TICKS; ++i)
        jog.tick();
    const long allocations = bench::allocations();
    bench::count_allocations(false);
    stelmo::ports::install(nullptr);

    bench::result("alloc_timer_rig_ticks", static_cast<double>(TICKS));
    bench::result("alloc_timer_rig", static_cast<double>(allocations));
    bench::result("alloc_timer_rig_steps", static_cast<double>(rig.state().steps));
    return allocations == 0 ? 0 : 1;
}
