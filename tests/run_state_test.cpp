// The run state as the engine tells it from the program's calls: one
// session of calls, each with what the strip would say after it, and the
// step rate over a second's worth of ticks.
#include "runtime/engine/run_state.h"

#include <gtest/gtest.h>

namespace {

using stelmo::engine::CallSeen;
using stelmo::engine::RunWatch;

// A reference-run tick: reads the switches, writes a falling pattern (or the
// stop pattern once the home switch answered); no selector, no display.
CallSeen homing(std::uint8_t before, std::uint8_t pattern, std::uint8_t code = 0xc4)
{
    CallSeen call;
    call.wrote = true;
    call.before = before;
    call.pattern = pattern;
    call.switch_code = code;
    return call;
}

// A jog tick: reads the direction (1: far end), shows the position, writes.
CallSeen jog(int direction, std::uint8_t before, std::uint8_t pattern, std::uint8_t code = 0xc4)
{
    CallSeen call = homing(before, pattern, code);
    call.direction_read = true;
    call.direction = direction;
    call.value_shown = true;
    return call;
}

TEST(RunStateTest, EachCallSaysWhatTheMotorDoes)
{
    struct Step {
        const char *what;
        CallSeen call;
        const char *word;  // the state after the call
        long homing_steps; // steps of the reference run so far
        double rate;       // steps a second at a 10 ms tick
    };
    const Step session[] = {
        {"Start writes nothing", CallSeen{}, "running", 0, -1},
        {"the first homing step", homing(0, 8), "homing", 1, 100},
        {"the second", homing(8, 4), "homing", 2, 100},
        {"home found: the stop pattern", homing(4, 0, 13), "holding-home", 0, 0},
        {"towards home, held by the latch", jog(0, 0, 0, 13), "holding-home", 0, 0},
        {"towards the far end", jog(1, 0, 2), "jogging-far", 0, 100},
        {"on", jog(1, 2, 4), "jogging-far", 0, 100},
        {"the same phase again is no step", jog(1, 4, 4), "jogging-far", 0, 200.0 / 3},
        {"the far switch read", jog(1, 4, 0, 14), "holding-far", 0, 0},
        {"still towards it", jog(1, 0, 0, 14), "holding-far", 0, 0},
        {"towards home again", jog(0, 0, 1), "jogging-home", 0, 100},
        {"a code of neither, held towards the far end", jog(1, 1, 0), "holding-far", 0, 0},
        {"... and towards home", jog(0, 0, 0), "holding-home", 0, 0},
        {"a reference run again", homing(0, 8), "homing", 1, 100},
    };
    RunWatch watch;
    for (const Step &step : session) {
        take_call(watch, step.call);
        EXPECT_STREQ(run_state_word(watch.seen), step.word) << step.what;
        EXPECT_EQ(watch.homing_steps, step.homing_steps) << step.what;
        EXPECT_DOUBLE_EQ(steps_per_second(watch, 10), step.rate) << step.what;
    }

    // The Home button: homing from the first step again, the rate not known
    // until the first tick.
    begin_homing(watch);
    EXPECT_STREQ(run_state_word(watch.seen), "homing");
    EXPECT_EQ(watch.homing_steps, 0);
    EXPECT_LT(steps_per_second(watch, 10), 0);
}

TEST(RunStateTest, TheRateIsTakenOverASecondOfTicksAtMost)
{
    RunWatch watch;
    take_call(watch, jog(1, 0, 1));
    for (int i = 0; i < 99; ++i)
        take_call(watch, jog(1, 1, 1)); // the same phase: no step
    // 64 calls at most: the first step has left the window.
    EXPECT_EQ(steps_per_second(watch, 10), 0);
    // At 1 s a tick the window is the last tick alone; at 2 s a step every 2 s.
    take_call(watch, jog(1, 1, 2));
    EXPECT_EQ(steps_per_second(watch, 1000), 1);
    EXPECT_EQ(steps_per_second(watch, 2000), 0.5);
    EXPECT_EQ(steps_per_second(watch, 0.25), 4000.0 / 64);
}

} // namespace
