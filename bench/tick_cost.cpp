// What a tick costs the program: timer() driving the simulated rig through the
// real inp()/outp(), with stand-in panel services that do the least they can.
// Google Benchmark times it; its memory manager counts the allocations.
//
//   tick_cost [Google Benchmark options]
//
// One iteration is TICKS_PER_ITERATION ticks, with the direction reversed
// every 100 ticks so the carriage keeps moving and the position value keeps
// changing; items_per_second is ticks per second, allocs_per_iter counts a
// block of ticks. Exit status 1 when the allocation counter does not see an
// allocation it is shown.
#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int TICKS_PER_ITERATION = 1000;
int direction = 1; // what the direction selector reports: 1 far end, 0 home

// Allocations are counted only inside the ticks, so the framework's own
// (the run's set-up and counters) do not show as the program's.
bool recording = false; // between the memory manager's Start and Stop
bool ticking = false;   // inside a block of ticks
long counted = 0;

// Counts the allocations between Start and Stop. (Google Benchmark 1.7 calls
// Stop with a pointer; Stop with a reference hands on to it.)
class AllocationCounter : public benchmark::MemoryManager {
public:
    using benchmark::MemoryManager::Stop;
    void Start() override
    {
        counted = 0;
        recording = true;
    }
    void Stop(Result *result) override
    {
        recording = false;
        result->num_allocs = counted;
    }
};

void timer_on_sim_rig(benchmark::State &state)
{
    stelmo::ports::SimRig rig;
    stelmo::ports::install(&rig);
    for (auto _ : state) {
        ticking = true;
        for (int i = 0; i < TICKS_PER_ITERATION; ++i) {
            timer(panelHandle, PANEL_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0);
            if (i % 100 == 99)
                direction ^= 1;
        }
        ticking = false;
    }
    state.SetItemsProcessed(state.iterations() * TICKS_PER_ITERATION);
    state.counters["steps_per_tick"] =
        benchmark::Counter(static_cast<double>(rig.state().steps) / TICKS_PER_ITERATION,
                           benchmark::Counter::kAvgIterations);
    stelmo::ports::install(nullptr);
}
BENCHMARK(timer_on_sim_rig);

} // namespace

// The panel services timer() calls, standing in for the engine's.
extern "C" int GetCtrlIndex(int, int, int *index)
{
    *index = direction;
    return 0;
}

extern "C" int SetCtrlVal(int, int, double)
{
    return 0;
}

// Every allocation of the process reaches the C library's allocator through
// these (operator new calls malloc); defined here, they count while the memory
// manager records, then hand on to the C library's own entry points.
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);

void *malloc(std::size_t size) noexcept
{
    counted += recording && ticking;
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) noexcept
{
    counted += recording && ticking;
    return __libc_calloc(count, size);
}
void *realloc(void *block, std::size_t size) noexcept
{
    counted += recording && ticking;
    return __libc_realloc(block, size);
}
}

int main(int argc, char *argv[])
{
    AllocationCounter counter;
    benchmark::MemoryManager::Result shown;
    counter.Start();
    ticking = true;
    void *block = std::malloc(16);
    benchmark::DoNotOptimize(block);
    std::free(block);
    ticking = false;
    counter.Stop(shown);
    if (shown.num_allocs != 1) {
        std::fprintf(stderr, "tick_cost: the allocation counter saw %ld of 1 allocation\n",
                     static_cast<long>(shown.num_allocs));
        return 1;
    }

    benchmark::RegisterMemoryManager(&counter);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
