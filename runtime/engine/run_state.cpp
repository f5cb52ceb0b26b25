// The run state, told from the program's calls (see run_state.h), and the
// homing limit that stops a reference run which never finds home.
#include "runtime/engine/run_state.h"

#include "runtime/base/report.h"
#include "runtime/config/translation.h"
#include "runtime/engine/bus.h"
#include "runtime/engine/state.h"
#include "runtime/ports/monitor.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

namespace stelmo::engine {

namespace {

// The program reads its direction from this selector (1: towards the far
// end), as scripts set it (bus.cpp); the Home button is the one bound to the
// program's function home.
constexpr int DIRECTION_SELECTOR = 7;
constexpr std::string_view HOME_CALLBACK = "home";

// The state a call that wrote a pattern shows.
RunState shown_by(const CallSeen &call)
{
    const bool jog = call.direction_read || call.value_shown;
    const bool far = call.direction == 1;
    if (!jog) // the reference run stops only where the home switch answered
        return call.pattern != 0 ? RunState::homing : RunState::holding_home;
    if (call.pattern != 0)
        return far ? RunState::jogging_far : RunState::jogging_home;
    // Held by the latched code; by the direction, should the byte say neither.
    if (call.switch_code == ports::SWITCH_FAR || (call.switch_code != ports::SWITCH_HOME && far))
        return RunState::holding_far;
    return RunState::holding_home;
}

std::string hex(unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// Stops the reference run that has made `homing-limit` steps without the
// home switch, as Stop does, and says what to check. A Start then gives it
// as many steps again.
void stop_homing(Engine &engine, const ports::PortActivity &io)
{
    const long limit = engine.settings.homing_limit;
    engine.run.watch.homing_steps = 0;
    stop_every_timer(engine, StopCause::no_home);
    std::string read = hex(io.switch_raw, 2);
    if (io.switch_failed)
        read = translate("stelmo", "nothing: reading it failed")();
    else if (io.switch_raw != io.switch_value)
        read = translate("stelmo", "%1, %2 after switch-mask")(read, hex(io.switch_value, 2));
    report(translate("stelmo",
                     "no home switch after %1 steps: the reference run is stopped, as Stop "
                     "stops it. Check that Port is the port the motor hangs on, that the home "
                     "switch makes the switch register %2 read 0x0d (the last read gave %3), and "
                     "the switch-mask setting; Start goes on for another %1 steps")(
        limit, hex(io.switch_port, 3), read));
}

} // namespace

const char *run_state_word(RunState state)
{
    switch (state) {
    case RunState::stopped:
        return "stopped";
    case RunState::running:
        return "running";
    case RunState::homing:
        return "homing";
    case RunState::jogging_home:
        return "jogging-home";
    case RunState::jogging_far:
        return "jogging-far";
    case RunState::holding_home:
        return "holding-home";
    case RunState::holding_far:
        return "holding-far";
    }
    return "stopped";
}

void take_call(RunWatch &watch, const CallSeen &call)
{
    if (!call.wrote)
        return;
    const RunState state = shown_by(call);
    if (state != watch.seen) {
        watch.seen = state;
        watch.steps = 0;
        watch.calls = 0;
    }
    // A step is a new phase switched on; the same phase again, or none, is not.
    const bool step = call.pattern != 0 && call.pattern != call.before;
    watch.steps = (watch.steps << 1) | (step ? 1u : 0u);
    watch.calls = std::min(watch.calls + 1, RATE_WINDOW_MAX);
    watch.homing_steps = state == RunState::homing ? watch.homing_steps + 1 : 0;
}

void begin_homing(RunWatch &watch)
{
    watch.seen = RunState::homing;
    watch.homing_steps = 0;
    watch.steps = 0;
    watch.calls = 0;
}

double steps_per_second(const RunWatch &watch, double interval_ms)
{
    if (watch.calls == 0 || !(interval_ms > 0))
        return -1;
    const long second = std::lround(1000.0 / interval_ms);
    const int window =
        std::min(watch.calls, static_cast<int>(std::clamp(second, 1L, long{RATE_WINDOW_MAX})));
    const std::uint64_t last = window == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << window) - 1;
    return std::popcount(watch.steps & last) * 1000.0 / (window * interval_ms);
}

RunStatus run_state(Engine &engine)
{
    const HoldUnlessHeld hold(engine.lock);
    RunStatus status;
    for (const auto &[handle, panel] : engine.panels)
        for (const auto &[id, control] : panel->controls)
            if (control.timer && control.timer->enabled() && status.state == RunState::stopped) {
                const RunWatch &watch = engine.run.watch;
                status.state = watch.seen;
                status.homing_steps = watch.homing_steps;
                status.steps_per_s = steps_per_second(
                    watch,
                    std::chrono::duration<double, std::milli>(control.timer->period()).count());
            }
    return status;
}

RunStatus run_state()
{
    Engine *engine = current_engine();
    return engine ? run_state(*engine) : RunStatus{};
}

void call_begins(Engine &engine)
{
    engine.run.call = {};
    if (!engine.setup.monitor)
        return;
    const ports::PortActivity io = engine.setup.monitor->snapshot();
    engine.run.writes = io.writes;
    engine.run.call.before = io.data_port != 0 ? io.data_value : 0;
}

void call_ended(Engine &engine, const Control &control, int event)
{
    RunWatching &run = engine.run;
    if (event == EVENT_COMMIT && control.callback_name == HOME_CALLBACK) {
        begin_homing(run.watch);
        return;
    }
    if (!engine.setup.monitor)
        return;
    const ports::PortActivity io = engine.setup.monitor->snapshot();
    run.call.wrote = io.writes != run.writes;
    run.call.pattern = io.data_value;
    run.call.switch_code = io.switch_value;
    const RunState was = run.watch.seen;
    take_call(run.watch, run.call);
    if (run.watch.seen != was && engine.frames) {
        engine.frames->mark(engine.strips); // the strips say it with the next frame
        note_bus_change(engine);            // and scripts may read it
    }
    const long limit = engine.settings.homing_limit;
    if (run.call.wrote && limit > 0 && run.watch.seen == RunState::homing &&
        run.watch.homing_steps >= limit)
        stop_homing(engine, io);
}

void note_index_read(Engine &engine, int control, int index)
{
    if (control != DIRECTION_SELECTOR)
        return;
    engine.run.call.direction_read = true;
    engine.run.call.direction = index;
}

void note_value_shown(Engine &engine)
{
    engine.run.call.value_shown = true;
}

} // namespace stelmo::engine
