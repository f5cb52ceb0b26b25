// The status strip changes what it shows at most about ten times a second,
// however often it is asked, and shows what it held back once it may. Times
// are given to it, not taken from a clock.
#include "runtime/view/status_strip.h"

#include <QApplication>
#include <QImage>
#include <QLabel>

#include <gtest/gtest.h>

#include <utility>

namespace {

using stelmo::StatusStrip;
using namespace std::chrono_literals;

// Where along the middle of the lamps lamps are lit, as fractions of their
// width: the first and the last lit column, or -1 with none lit.
std::pair<double, double> lit_span(QWidget *lamps)
{
    const QImage image = lamps->grab().toImage();
    int first = -1;
    int last = -1;
    for (int x = 0; x < image.width(); ++x)
        if (image.pixelColor(x, image.height() / 2) == QColor(255, 170, 0)) {
            first = first < 0 ? x : first;
            last = x;
        }
    return {first < 0 ? -1.0 : double(first) / image.width(), double(last) / image.width()};
}

stelmo::StripState stepping(std::uint8_t data)
{
    stelmo::StripState state;
    state.running = true;
    state.interval_ms = 10;
    state.run_state = stelmo::engine::RunState::jogging_far;
    state.steps_per_s = 100;
    state.io.data_port = 0x378;
    state.io.data_value = data;
    return state;
}

TEST(StatusStripTest, ChangesAtMostTenTimesASecond)
{
    StatusStrip strip({});
    auto *run = strip.findChild<QLabel *>("stripRun");
    auto *lamps = strip.findChild<QWidget *>("stripLamps");
    auto *origin = strip.findChild<QLabel *>("stripOrigin");
    ASSERT_TRUE(run && lamps && origin);
    const StatusStrip::Clock::time_point start{1h};

    stelmo::StripState scripted = stepping(0x01);
    scripted.by_script = true;
    ASSERT_TRUE(strip.show_state(scripted, start));
    EXPECT_EQ(run->text(), "Jogging towards far end \u00b7 100 steps/s");
    EXPECT_EQ(origin->text(), "started by a script");
    EXPECT_EQ(lamps->accessibleName(), "Data lines: D0 on, D1 off, D2 off, D3 off");

    // Steps 10 ms apart: held back, texts and names as they were.
    for (const auto at : {10ms, 50ms, 99ms}) {
        EXPECT_FALSE(strip.show_state(stepping(0x02), start + at)) << at.count();
        EXPECT_EQ(lamps->accessibleName(), "Data lines: D0 on, D1 off, D2 off, D3 off");
    }
    // Due: the latest state, at once.
    stelmo::StripState stopped = stepping(0x04);
    stopped.running = false;
    stopped.by_script = true;
    EXPECT_TRUE(strip.show_state(stopped, start + 100ms));
    EXPECT_EQ(run->text(), "Stopped");
    EXPECT_EQ(origin->text(), ""); // said of a run only
    EXPECT_EQ(lamps->accessibleName(), "Data lines: D0 off, D1 off, D2 on, D3 off");
    // Asked again with nothing new: nothing to hold back.
    EXPECT_TRUE(strip.show_state(stopped, start + 120ms));

    // The lamps are drawn once per way they can be lit: each shows its own.
    const auto d2 = lit_span(lamps);
    EXPECT_GT(d2.first, 0.5);
    EXPECT_LT(d2.second, 0.75);
    ASSERT_TRUE(strip.show_state(stepping(0x01), start + 300ms));
    const auto d0 = lit_span(lamps);
    EXPECT_GE(d0.first, 0.0);
    EXPECT_LT(d0.second, 0.25);
    ASSERT_TRUE(strip.show_state(stopped, start + 400ms));
    EXPECT_EQ(lit_span(lamps), d2);
}

// What the motor does, in words, with the steps made a second where known.
TEST(StatusStripTest, SaysTheRunStateInWords)
{
    using stelmo::engine::RunState;
    const struct {
        RunState state;
        long homing_steps;
        double rate;
        const char *text;
    } cases[] = {
        {RunState::running, 0, -1, "Running"},
        {RunState::homing, 0, -1, "Homing"},
        {RunState::homing, 37, 250, "Homing \u00b7 step 37 \u00b7 250 steps/s"},
        {RunState::jogging_home, 0, 0.5, "Jogging towards home \u00b7 a step every 2 s"},
        {RunState::jogging_far, 0, 66.7, "Jogging towards far end \u00b7 66.7 steps/s"},
        {RunState::holding_far, 0, 0, "Holding at far switch \u00b7 0 steps/s"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StatusStrip::run_text(c.state, c.homing_steps, c.rate), c.text) << c.text;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
