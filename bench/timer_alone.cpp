// timer() alone, for counting its instructions under callgrind:
//
//   timer_alone <ticks>
//
// Runs <ticks> jog ticks against the stand-in services, reversing the
// direction every 100 ticks so the position value moves over its range
// rather than resting at a bound. bench/run subtracts a run with 0 ticks and
// divides by <ticks>, which leaves timer()'s instructions plus the few of the
// loop and of the stand-ins it calls.
#include "bench/stand_ins.h"

#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/services.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    char *end = nullptr;
    const long ticks = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
    if (ticks < 0 || !end || *end != '\0') {
        std::fprintf(stderr, "usage: timer_alone <ticks>\n");
        return 2;
    }

    stp = 1; // homed: every tick is a jog step
    constexpr long REVERSE_EVERY = 100;
    for (long done = 0; done < ticks; done += REVERSE_EVERY) {
        bench::direction_index ^= 1;
        const long block = ticks - done < REVERSE_EVERY ? ticks - done : REVERSE_EVERY;
        for (long i = 0; i < block; ++i)
            timer(panelHandle, PANEL_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0);
    }
    // Something that depends on every tick, so none can be left out.
    return schrittweite < POSITION_MIN || schrittweite > POSITION_MAX ? 1 : 0;
}
