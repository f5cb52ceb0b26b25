// What the motor is doing, in words: homing, jogging towards home or the far
// end, holding at an end switch, or stopped. The engine tells it from what
// each call into the program does through the services and the ports, never
// from the program's variables:
//
//   a reference-run tick   reads the switch register and writes a falling
//                          pattern, without reading the direction selector or
//                          showing a value; it writes the stop pattern once
//                          the home switch answered
//   a jog tick             reads the direction selector (GetCtrlIndex) and
//                          shows the position (SetCtrlVal), then writes the
//                          next pattern of that direction ...
//   holding                ... or the stop pattern, while an end switch's
//                          code is latched (the last switch byte read)
//
// A call that writes no pattern (Start, Stop) changes nothing; the Home
// button begins a new reference run. The step rate counts steps actually
// made, pattern changes, not ticks: holding reads 0 steps a second.
//
// Each call is taken in under the engine's lock that it already holds:
// a handful of compares on plain fields, no allocation, no wait. The status
// strips read the result once per frame (run_state). This header holds no
// engine state, so tests and views may use it.
#pragma once

#include <cstdint>

namespace stelmo::engine {

struct Engine;
struct Control;

enum class RunState {
    stopped,      // no step timer is on
    running,      // a step timer is on, and no call has shown yet what it does
    homing,       // the reference run: towards home until the home switch answers
    jogging_home, // a step a tick towards the home end
    jogging_far,  // a step a tick towards the far end
    holding_home, // standing at the home switch: the motor holds, all phases off
    holding_far,  // standing at the far switch, likewise
};

// The state's word for scripts and logs: "stopped", "running", "homing",
// "jogging-home", "jogging-far", "holding-home", "holding-far".
const char *run_state_word(RunState state);

// What one call into the program did, as the services and the port monitor
// saw it.
struct CallSeen {
    bool direction_read = false;  // GetCtrlIndex on the direction selector
    int direction = 0;            // the index it gave: 1 towards the far end, else home
    bool value_shown = false;     // SetCtrlVal on a display
    bool wrote = false;           // a data register was written
    std::uint8_t pattern = 0;     // the byte written last
    std::uint8_t before = 0;      // the data lines' byte before the call (0: none yet)
    std::uint8_t switch_code = 0; // the last switch byte the program got
};

// The most calls the step rate is taken over.
constexpr int RATE_WINDOW_MAX = 64;

// What the calls so far showed.
struct RunWatch {
    RunState seen = RunState::running; // as the last call that wrote a pattern showed it
    long homing_steps = 0;             // homing: steps of this reference run so far
    std::uint64_t steps = 0;           // a bit per call in `seen`, the latest in bit 0: a step
    int calls = 0;                     // calls in `seen` so far, 0..RATE_WINDOW_MAX
};

// Takes into `watch` what `call` did. A call that wrote nothing changes
// nothing.
void take_call(RunWatch &watch, const CallSeen &call);

// A new reference run begins (the Home button): homing, no step made yet.
void begin_homing(RunWatch &watch);

// Steps made a second in `watch`'s state, over its last calls: a second's
// worth of ticks at `interval_ms`, at least 1 and at most RATE_WINDOW_MAX.
// Negative before the first call in that state.
double steps_per_second(const RunWatch &watch, double interval_ms);

// What the engine says of the motor.
struct RunStatus {
    RunState state = RunState::stopped;
    long homing_steps = 0;   // homing: steps of the reference run so far
    double steps_per_s = -1; // running: steps made a second lately; negative: not known yet
};

// What the motor is doing now: stopped while no step timer is on, else as the
// program's last calls showed it, at the rate of the first timer that is on.
// With the engine's lock held, or it is taken: on the event-loop thread (a
// status strip's frame, a script's question). Scripts read the word:
// run_state_word(run_state(engine).state).
RunStatus run_state(Engine &engine);

// run_state() of the running engine; stopped when there is none.
RunStatus run_state();

// --- what the engine tells it, with the lock held ----------------------------

// What the engine keeps of the calls.
struct RunWatching {
    RunWatch watch;
    CallSeen call;            // the call running now, so far
    std::uint64_t writes = 0; // the port monitor's count of data writes as it began
};

// A call into the program begins, or has ended (dispatch.cpp). At its end, a
// reference run that has made `homing-limit` steps without the home switch
// is stopped as Stop stops it, with a line that says what to check.
void call_begins(Engine &engine);
void call_ended(Engine &engine, const Control &control, int event);

// GetCtrlIndex gave `index` for control `control`; SetCtrlVal showed a value.
void note_index_read(Engine &engine, int control, int index);
void note_value_shown(Engine &engine);

} // namespace stelmo::engine
