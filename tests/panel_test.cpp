// main() and the button callbacks against a recording stand-in for the engine.
#include "panel/stelmo.h"

#include "drive/drive.h"
#include "fake_services.h"
#include "runtime/services.h"
#include "support/program.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

using fake::Op;

namespace {

char program_name[] = "stelmo";
char *test_argv[] = {program_name, nullptr};

int run_main()
{
    return stelmo_main(1, test_argv);
}

std::vector<Op> ops()
{
    std::vector<Op> out;
    for (const auto &c : fake::calls)
        out.push_back(c.op);
    return out;
}

void press(int (*button)(int, int, int, void *, int, int), int event = EVENT_COMMIT)
{
    EXPECT_EQ(button(panelHandle, 0, event, nullptr, 0, 0), 0);
}

// The calls from `from` on, each as what it did and to what.
using Did = std::tuple<int, int, int, int, int, int, double>;
std::vector<Did> record(std::size_t from = 0)
{
    std::vector<Did> out;
    for (std::size_t i = from; i < fake::calls.size(); ++i) {
        const fake::Call &c = fake::calls[i];
        out.emplace_back(static_cast<int>(c.op), c.panel, c.control, c.port, c.byte, c.value,
                         c.number);
    }
    return out;
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(PanelTest, MainBringsUpThePanelWithTheTimerOffAndReturnsZero)
{
    fake::load_result = 3;
    EXPECT_EQ(run_main(), 0);
    EXPECT_EQ(ops(), std::vector<Op>({Op::Init, Op::Load, Op::Display, Op::SetAttr, Op::Run}));
    const auto load = fake::of(Op::Load).at(0);
    EXPECT_EQ(load.panel, 0); // no parent
    EXPECT_EQ(std::string(load.file), "stelmo.uir");
    EXPECT_EQ(load.value, PANEL);
    EXPECT_EQ(panelHandle, 3);
    EXPECT_EQ(fake::of(Op::Display).at(0).panel, 3);
    const auto off = fake::of(Op::SetAttr).at(0);
    EXPECT_EQ(off.panel, 3);
    EXPECT_EQ(off.control, PANEL_TIMER);
    EXPECT_EQ(off.attribute, ATTR_TIMER_ENABLED);
    EXPECT_EQ(off.value, 0);
}

TEST_F(PanelTest, MainFailsWhenTheEngineDoesNotStart)
{
    fake::init_result = 0;
    EXPECT_EQ(run_main(), -1);
    EXPECT_EQ(ops(), std::vector<Op>({Op::Init}));
}

TEST_F(PanelTest, MainFailsWhenThePanelDoesNotLoad)
{
    for (int failure : {-1, -4, -100}) {
        fake::reset();
        fake::load_result = failure;
        EXPECT_EQ(run_main(), -1);
        EXPECT_EQ(ops(), std::vector<Op>({Op::Init, Op::Load})) << failure;
    }
}

TEST_F(PanelTest, HandleZeroIsAValidPanel)
{
    fake::load_result = 0;
    EXPECT_EQ(run_main(), 0);
    EXPECT_EQ(fake::of(Op::Run).size(), 1u);
}

TEST_F(PanelTest, QuitEndsTheLoopWithoutTouchingThePort)
{
    fake::during_run = [] {
        press(start);
        press(Ende);
    };
    EXPECT_EQ(run_main(), 0);
    const auto quit = fake::of(Op::Quit);
    ASSERT_EQ(quit.size(), 1u);
    EXPECT_EQ(quit[0].value, 0);
    EXPECT_TRUE(fake::of(Op::Out).empty());
    EXPECT_TRUE(fake::of(Op::In).empty());
}

TEST_F(PanelTest, StartTakesThePortAndSwitchesTheTimerOn)
{
    panelHandle = 4;
    fake::port_index = 1;
    press(start);
    EXPECT_EQ(adresse, 1);
    ASSERT_EQ(ops(), std::vector<Op>({Op::GetIndex, Op::SetAttr}));
    EXPECT_EQ(fake::calls[0].panel, 4);
    EXPECT_EQ(fake::calls[0].control, PANEL_ADRESSE);
    EXPECT_EQ(fake::calls[1].panel, 4);
    EXPECT_EQ(fake::calls[1].control, PANEL_TIMER);
    EXPECT_EQ(fake::calls[1].attribute, ATTR_TIMER_ENABLED);
    EXPECT_EQ(fake::calls[1].value, 1);

    fake::port_index = 0; // Start again re-reads the selector, timer stays on
    press(start);
    EXPECT_EQ(adresse, 0);
    EXPECT_EQ(fake::of(Op::SetAttr).back().value, 1);
}

TEST_F(PanelTest, StopSwitchesTheTimerOffAndKeepsTheDrive)
{
    zaehler = 3;
    schrittweite = 42.0f;
    adresse = 1;
    press(stop);
    press(stop);
    const auto attrs = fake::of(Op::SetAttr);
    ASSERT_EQ(attrs.size(), 2u);
    for (const auto &c : attrs) {
        EXPECT_EQ(c.control, PANEL_TIMER);
        EXPECT_EQ(c.value, 0);
    }
    EXPECT_EQ(zaehler, 3);
    EXPECT_EQ(schrittweite, 42.0f);
    EXPECT_EQ(adresse, 1);
    EXPECT_TRUE(fake::of(Op::Out).empty());
}

// Stopped, Step takes the port from the selector and makes the tick the next
// one would make: a reference-run step, a jog step, a stop at the switch ahead.
TEST_F(PanelTest, StepWhileStoppedIsOneTickOnTheSelectedPort)
{
    for (const int state_taster : {-1, 0, CODE_FAR}) {
        const auto set_up = [&](int port) {
            fake::reset();
            fake::direction = 1;
            panelHandle = 4;
            adresse = port;
            stp = state_taster >= 0;
            taster = state_taster;
            zaehler = 2;
        };
        set_up(1);
        timer(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0);
        const auto ticked = record();
        set_up(0);
        fake::port_index = 1;
        press(step);
        ASSERT_GE(fake::calls.size(), 2u);
        EXPECT_EQ(ops()[0], Op::GetAttr);
        EXPECT_EQ(fake::calls[0].control, PANEL_TIMER);
        EXPECT_EQ(fake::calls[1].control, PANEL_ADRESSE);
        EXPECT_EQ(record(2), ticked) << "taster " << state_taster;
        EXPECT_TRUE(fake::of(Op::SetAttr).empty());
    }
}

// It leaves the motor alone while the ticks run, and when the engine cannot
// say whether they do (a panel without the step timer).
TEST_F(PanelTest, StepWhileRunningOrUnsureDoesNothing)
{
    for (const auto &[on, result] : {std::pair{1, 0}, std::pair{0, ERR_BAD_CONTROL_ID}}) {
        fake::reset();
        fake::timer_on = on;
        fake::attr_result = result;
        press(step);
        EXPECT_EQ(ops(), std::vector<Op>({Op::GetAttr})) << on << " " << result;
    }
}

// Home, from wherever the drive stood, running or not, goes on exactly as the
// first Start after start-up: the button's own calls, the reference run, and
// the position 0 once home was found.
TEST_F(PanelTest, HomeFromAnyStateGoesAsTheFirstStart)
{
    const auto session = [](int (*button)(int, int, int, void *, int, int)) {
        const std::size_t from = fake::calls.size();
        fake::port_index = 1;
        fake::direction = 1;
        fake::switches = {0, CODE_FAR, 0, CODE_HOME};
        press(button);
        for (int i = 0; i < 7; ++i)
            timer(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0);
        return record(from);
    };
    panelHandle = 4;
    const auto first = session(start);
    ASSERT_EQ(fake::of(Op::SetVal).at(0).number, 0.0);

    struct State {
        const char *name;
        int stp, taster, aus, nullpunkt, zaehler;
        float position;
    } states[] = {{"reference run", 0, CODE_FAR, 0, 0, 3, 0},
                  {"home latched", 1, CODE_HOME, 0, 1, 1, 0},
                  {"far latched", 1, CODE_FAR, 1, 0, 1, 340},
                  {"free", 1, 0, 0, 0, 2, 120.5f}};
    for (const State &s : states) {
        fake::reset();
        panelHandle = 4;
        adresse = 0;
        std::tie(stp, taster, aus, nullpunkt, zaehler, schrittweite) =
            std::tuple(s.stp, s.taster, s.aus, s.nullpunkt, s.zaehler, s.position);
        fake::timer_on = 1;
        EXPECT_EQ(session(home), first) << s.name;
    }
}

TEST_F(PanelTest, ButtonsIgnoreEveryEventButCommit)
{
    fake::port_index = 1;
    stp = 1;
    for (auto button : {start, stop, step, home, Ende})
        for (int event : {0, 2, EVENT_TIMER_TICK, -1})
            press(button, event);
    EXPECT_TRUE(fake::calls.empty());
    EXPECT_EQ(adresse, 0);
    EXPECT_EQ(stp, 1);
}

} // namespace
