// What the engine offers besides the program's services: panel file lookup,
// callback lookup, the start-up choice of port backend and the timer counts,
// for the tests and for windows shown next to the panel (the rig view). Like
// the services, everything here belongs to the event-loop thread.
#pragma once

#include "runtime/services.h"

#include <string>
#include <string_view>
#include <vector>

namespace stelmo::ports {
class SimRig;
}

namespace stelmo::engine {

// Where a panel file called `name` is looked for, in order. An absolute name
// is used as is. A relative one is tried in the executable's directory
// `exe_dir`, then in the installed data directory `exe_dir`/../share/stelmo
// (so an installed tree still works after it was moved), then in the
// working directory `work_dir`.
std::vector<std::string> panel_file_candidates(std::string_view name, std::string_view exe_dir,
                                               std::string_view work_dir);

// The first of the candidates that exists (any kind of file); empty when none
// does.
std::string find_panel_file(std::string_view name, std::string_view exe_dir,
                            std::string_view work_dir);

// The program's function called `name`, or null with `why` saying why it
// cannot be a control callback. Only C-linkage functions of the executable
// that holds the engine qualify, never library functions or the run-time's
// own entry points.
CtrlCallbackPtr find_callback(std::string_view name, std::string &why);

// How the ports are reached, e.g. "simulated rig"; empty before start-up.
const std::string &backend_description();

// The simulated rig when it is the backend, else null.
ports::SimRig *simulated_rig();

// State of a timer control.
struct TimerCounts {
    bool enabled = false;
    int interval_ms = 0;
    long ticks = 0;  // ticks handed to the callback
    long missed = 0; // periods that passed without a tick
};

// The counts of timer control `control` on panel `panel`; false when there
// is no such timer.
bool timer_counts(int panel, int control, TimerCounts &counts);

} // namespace stelmo::engine
