// Trivial run-time services for running timer() without the engine: a
// selector that reports `direction_index`, a display that keeps the last
// value, and (port_stand_ins.cpp only) ports that report no switch closed.
// They do the least a service can, so what remains is timer()'s own cost.
#pragma once

#include <cstdint>

namespace bench {

extern int direction_index;  // what GetCtrlIndex reports: 1 rising, 0 falling
extern double shown_value;   // the last value given to SetCtrlVal
extern std::uint8_t written; // the last byte given to outp

} // namespace bench
