// Stand-in ports (see stand_ins.h): the switch register reads the idle code
// of the simulated rig, so timer() never sees a switch and steps every tick.
#include "bench/stand_ins.h"

#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"

namespace bench {
std::uint8_t written = 0;
} // namespace bench

extern "C" std::uint8_t inp(std::uint16_t)
{
    return stelmo::ports::RIG_CODE_NEUTRAL;
}

extern "C" int outp(std::uint16_t, std::uint8_t value)
{
    bench::written = value;
    return 0;
}
