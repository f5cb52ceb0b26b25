// main() and the button callbacks against a recording stand-in for the engine.
#include "panel/stelmo.h"

#include "drive/drive.h"
#include "fake_services.h"
#include "runtime/services.h"
#include "support/program.h"

#include <gtest/gtest.h>

#include <string>

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

TEST_F(PanelTest, ButtonsIgnoreEveryEventButCommit)
{
    fake::port_index = 1;
    for (auto button : {start, stop, Ende})
        for (int event : {0, 2, EVENT_TIMER_TICK, -1})
            press(button, event);
    EXPECT_TRUE(fake::calls.empty());
    EXPECT_EQ(adresse, 0);
}

} // namespace
