// What the engine offers besides the program's services: panel file lookup,
// the start-up choice of port backend, what a loaded panel
// holds and the timer counts, for the tests and for windows shown next to the
// panel (the rig view) or a status strip. Everything here belongs to the
// event-loop thread.
#pragma once

#include "runtime/services.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace stelmo::ports {
class SimRig;
}

namespace stelmo::engine {

// Where a panel file called `name` is looked for, in order. An absolute name
// is used as is. A relative one is tried in each of `first_dirs` (the site's
// own panels: the user's configuration directory, then the system's), then in
// the executable's directory `exe_dir`, then in the installed data directory
// `exe_dir`/../share/stelmo (so an installed tree still works after it was
// moved), then in the working directory `work_dir`.
std::vector<std::string> panel_file_candidates(std::string_view name, std::string_view exe_dir,
                                               std::string_view work_dir,
                                               const std::vector<std::string> &first_dirs = {});

// The first of the candidates that exists (any kind of file); empty when none
// does.
std::string find_panel_file(std::string_view name, std::string_view exe_dir,
                            std::string_view work_dir,
                            const std::vector<std::string> &first_dirs = {});

// How the ports are reached, e.g. "simulated rig"; empty before start-up.
const std::string &backend_description();

// The simulated rig when it is the backend, else null.
ports::SimRig *simulated_rig();

// How the timer controls' threads are scheduled, one line for a status strip:
// e.g. "real-time (SCHED_FIFO 20), memory locked", or "normal priority:
// SCHED_FIFO not permitted (RLIMIT_RTPRIO 0), RealtimeKit is not running,
// memory not locked: ...". That of the latest timer made; empty before the
// first. When the first timer is not real-time, start-up says so in one line.
std::string tick_scheduling();

// State of a timer control.
struct TimerCounts {
    bool enabled = false;
    double interval_ms = 0; // 0.1 and up
    long ticks = 0;         // ticks handed to the callback
    long missed = 0;        // periods that passed without a tick
};

// The counts of timer control `control` on panel `panel`; false when there
// is no such timer.
bool timer_counts(int panel, int control, TimerCounts &counts);

// The control ids of panel `panel`, in order; empty for an unknown handle.
std::vector<int> control_ids(int panel);

// The program function bound to control `control` of panel `panel`, or null.
CtrlCallbackPtr control_callback(int panel, int control);

// No motion the operator cannot see or stop: while RunUserInterface runs, a
// window that has not turned its event loop, or a display that has not
// answered, for longer than this makes the engine stop every timer
// (watchdog.cpp).
constexpr std::chrono::milliseconds WINDOW_SILENCE_MAX{500};

// The clock the window watchdog reads, steady_clock's by default; a test puts
// one of its own in its place. Before any panel is loaded.
using WatchdogClock = std::chrono::steady_clock::time_point (*)();
void set_watchdog_clock(WatchdogClock now);

// Takes panel `panel` down: its window, its timers and its handle. False for
// an unknown handle. Not from inside a callback (its ticks may be waiting for
// the lock). The program never does this; tests that load many panels do.
bool discard_panel(int panel);

} // namespace stelmo::engine
