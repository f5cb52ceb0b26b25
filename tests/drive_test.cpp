// The tick sequencer against a recording stand-in for the port and the panel.
#include "drive/drive.h"

#include "fake_services.h"
#include "panel/stelmo.h"
#include "runtime/services.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using fake::Op;

namespace {

constexpr std::uint8_t NEUTRAL = 0x00;
constexpr int RISING = 1;
constexpr int FALLING = 0;

void tick(int event = EVENT_TIMER_TICK)
{
    EXPECT_EQ(timer(0, PANEL_TIMER, event, nullptr, 0, 0), 0);
}

// Runs the reference run to its end: `steps` neutral reads, then code 13.
void home(int steps = 0)
{
    for (int i = 0; i < steps; ++i)
        fake::switches.push_back(NEUTRAL);
    fake::switches.push_back(CODE_HOME);
    for (int i = 0; i <= steps; ++i)
        tick();
    ASSERT_EQ(stp, 1);
}

// Puts the drive in a jog state as it stands between ticks.
enum class Jog { Free, FarLatched, HomeLatched };

void enter(Jog state, float position = 100.0f)
{
    stp = 1;
    schrittweite = position;
    zaehler = 2;
    taster = state == Jog::FarLatched ? CODE_FAR : state == Jog::HomeLatched ? CODE_HOME : 0;
    aus = state == Jog::FarLatched;
    nullpunkt = state == Jog::HomeLatched;
}

class DriveTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(DriveTest, OtherEventsChangeNothing)
{
    enter(Jog::Free, 12.5f);
    for (int event : {0, EVENT_COMMIT, 2, 14, 16, -1}) {
        tick(event);
        EXPECT_TRUE(fake::calls.empty()) << "event " << event;
        EXPECT_EQ(zaehler, 2);
        EXPECT_EQ(schrittweite, 12.5f);
        EXPECT_EQ(taster, 0);
    }
}

TEST_F(DriveTest, ReferenceRunStepsTowardsHomeWithoutTouchingThePanel)
{
    tick();
    EXPECT_EQ(fake::writes(), std::vector<int>({8}));
    EXPECT_EQ(zaehler, 1);
    EXPECT_EQ(schrittweite, 0.0f);
    for (int i = 0; i < 5; ++i)
        tick();
    EXPECT_EQ(fake::writes(), std::vector<int>({8, 4, 2, 1, 8, 4}));
    EXPECT_EQ(fake::of(Op::In).size(), 6u);
    EXPECT_TRUE(fake::of(Op::GetIndex).empty());
    EXPECT_TRUE(fake::of(Op::SetVal).empty());
    EXPECT_EQ(stp, 0);
}

TEST_F(DriveTest, ReferenceRunReadsBeforeItWrites)
{
    tick();
    ASSERT_EQ(fake::calls.size(), 2u);
    EXPECT_EQ(fake::calls[0].op, Op::In);
    EXPECT_EQ(fake::calls[1].op, Op::Out);
}

TEST_F(DriveTest, ReferenceRunIgnoresTheFarCode)
{
    fake::switches = {CODE_FAR, NEUTRAL};
    tick();
    EXPECT_EQ(taster, CODE_FAR);
    EXPECT_EQ(aus, 0);
    tick();
    EXPECT_EQ(fake::writes(), std::vector<int>({8, 4}));
    EXPECT_EQ(fake::of(Op::In).size(), 2u);
    EXPECT_EQ(taster, 0);
}

TEST_F(DriveTest, ReferenceRunEndsWithStopOnHomeCode)
{
    home(2);
    EXPECT_EQ(fake::writes(), std::vector<int>({8, 4, 0}));
    EXPECT_EQ(zaehler, 1);
    EXPECT_EQ(taster, CODE_HOME);
    EXPECT_EQ(nullpunkt, 0); // set only by the first jog tick
    EXPECT_EQ(schrittweite, 0.0f);
}

TEST_F(DriveTest, AfterHomingFallingStandsStillWithoutReading)
{
    home();
    fake::calls.clear();
    fake::direction = FALLING;
    for (int i = 0; i < 3; ++i)
        tick();
    EXPECT_TRUE(fake::of(Op::In).empty());
    EXPECT_EQ(fake::writes(), std::vector<int>({0, 0, 0}));
    ASSERT_EQ(fake::of(Op::SetVal).size(), 3u);
    EXPECT_EQ(fake::of(Op::SetVal)[0].number, 0.0);
    EXPECT_EQ(nullpunkt, 1);
    EXPECT_EQ(zaehler, 1);
}

TEST_F(DriveTest, AfterHomingRisingReleasesAndSteps)
{
    home();
    fake::calls.clear();
    fake::direction = RISING;
    tick();
    EXPECT_TRUE(fake::of(Op::In).empty());
    ASSERT_EQ(fake::of(Op::SetVal).size(), 1u);
    EXPECT_EQ(fake::of(Op::SetVal)[0].number, 0.0);
    EXPECT_EQ(schrittweite, 1.57f);
    EXPECT_EQ(fake::writes(), std::vector<int>({2}));
    EXPECT_EQ(zaehler, 2);
    EXPECT_EQ(taster, 0);
    EXPECT_EQ(nullpunkt, 0);
    tick(); // free again: reads the switch
    EXPECT_EQ(fake::of(Op::In).size(), 1u);
}

TEST_F(DriveTest, JogTickCallsInOrderWithTheProgramsPanel)
{
    enter(Jog::Free);
    panelHandle = 7;
    fake::direction = RISING;
    timer(99, 98, EVENT_TIMER_TICK, nullptr, 0, 0); // own arguments are ignored
    ASSERT_EQ(fake::calls.size(), 4u);
    EXPECT_EQ(fake::calls[0].op, Op::GetIndex);
    EXPECT_EQ(fake::calls[0].panel, 7);
    EXPECT_EQ(fake::calls[0].control, PANEL_RICHT);
    EXPECT_EQ(fake::calls[1].op, Op::In);
    EXPECT_EQ(fake::calls[2].op, Op::SetVal);
    EXPECT_EQ(fake::calls[2].panel, 7);
    EXPECT_EQ(fake::calls[2].control, PANEL_SCHRITTWEITE);
    EXPECT_EQ(fake::calls[3].op, Op::Out);
    EXPECT_EQ(richt, RISING);
}

TEST_F(DriveTest, DisplayLagsOneTickBehind)
{
    enter(Jog::Free, 10.0f);
    fake::direction = RISING;
    tick();
    tick();
    auto shown = fake::of(Op::SetVal);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].number, 10.0);
    EXPECT_EQ(shown[1].number, static_cast<double>(static_cast<float>(10.0 + 1.57)));
}

// The jog state table: one row per (state, direction, code read).
struct JogCase {
    const char *name;
    Jog state;
    int direction;
    std::uint8_t code; // what the port would return if it is read
    bool reads;
    int written;    // pattern, with zaehler 2 before the tick
    float position; // after the tick, from 100
    Jog after;
};

class DriveJogTest : public DriveTest, public ::testing::WithParamInterface<JogCase> {};

TEST_P(DriveJogTest, FollowsTheStateTable)
{
    const JogCase &c = GetParam();
    enter(c.state);
    fake::direction = c.direction;
    fake::idle_switch = c.code;
    tick();
    EXPECT_EQ(fake::of(Op::In).size(), c.reads ? 1u : 0u);
    EXPECT_EQ(fake::writes(), std::vector<int>({c.written}));
    EXPECT_FLOAT_EQ(schrittweite, c.position);
    const bool stopped = c.written == PATTERN_STOP;
    EXPECT_EQ(zaehler, stopped ? 1 : 3);
    switch (c.after) {
    case Jog::Free:
        EXPECT_NE(taster, CODE_HOME);
        EXPECT_NE(taster, CODE_FAR);
        EXPECT_EQ(aus, 0);
        EXPECT_EQ(nullpunkt, 0);
        break;
    case Jog::FarLatched:
        EXPECT_EQ(taster, CODE_FAR);
        EXPECT_EQ(aus, 1);
        EXPECT_EQ(nullpunkt, 0);
        break;
    case Jog::HomeLatched:
        EXPECT_EQ(taster, CODE_HOME);
        EXPECT_EQ(nullpunkt, 1);
        EXPECT_EQ(aus, 0);
        break;
    }
}

constexpr float UP = 101.57f;
constexpr float DOWN = 98.43f;

INSTANTIATE_TEST_SUITE_P(
    States, DriveJogTest,
    ::testing::Values(
        JogCase{"FreeRisingFar", Jog::Free, RISING, CODE_FAR, true, 0, 100, Jog::FarLatched},
        JogCase{"FreeRisingHome", Jog::Free, RISING, CODE_HOME, true, 4, UP, Jog::Free},
        JogCase{"FreeRisingNeutral", Jog::Free, RISING, NEUTRAL, true, 4, UP, Jog::Free},
        JogCase{"FreeFallingHome", Jog::Free, FALLING, CODE_HOME, true, 0, 100, Jog::HomeLatched},
        JogCase{"FreeFallingFar", Jog::Free, FALLING, CODE_FAR, true, 2, DOWN, Jog::Free},
        JogCase{"FreeFallingNeutral", Jog::Free, FALLING, NEUTRAL, true, 2, DOWN, Jog::Free},
        JogCase{"FarRising", Jog::FarLatched, RISING, NEUTRAL, false, 0, 100, Jog::FarLatched},
        JogCase{"FarFalling", Jog::FarLatched, FALLING, CODE_FAR, false, 2, DOWN, Jog::Free},
        JogCase{"HomeRising", Jog::HomeLatched, RISING, CODE_HOME, false, 4, UP, Jog::Free},
        JogCase{"HomeFalling", Jog::HomeLatched, FALLING, NEUTRAL, false, 0, 100, Jog::HomeLatched},
        // Any direction index but 1 counts as falling.
        JogCase{"FreeIndexTwoFalls", Jog::Free, 2, NEUTRAL, true, 2, DOWN, Jog::Free},
        JogCase{"FreeIndexMinusOneFalls", Jog::Free, -1, NEUTRAL, true, 2, DOWN, Jog::Free}),
    [](const ::testing::TestParamInfo<JogCase> &c) { return c.param.name; });

TEST_F(DriveTest, LatchReleasedByReversalReadsAgainOnTheNextTick)
{
    enter(Jog::FarLatched);
    fake::direction = FALLING;
    fake::idle_switch = CODE_FAR; // switch still pressed
    tick();
    EXPECT_TRUE(fake::of(Op::In).empty());
    tick(); // reads 14 again, latches and releases in the same tick
    EXPECT_EQ(fake::of(Op::In).size(), 1u);
    EXPECT_EQ(fake::writes(), std::vector<int>({2, 1}));
    EXPECT_EQ(aus, 0);
}

TEST_F(DriveTest, StopLeavesCounterAtOneSoMovementResumesAtSecondEntry)
{
    enter(Jog::Free);
    fake::idle_switch = CODE_FAR;
    fake::direction = RISING;
    tick();
    EXPECT_EQ(zaehler, 1);
    fake::direction = FALLING;
    tick();
    EXPECT_EQ(fake::writes(), std::vector<int>({0, 4}));

    fake::reset();
    enter(Jog::Free);
    fake::idle_switch = CODE_HOME;
    fake::direction = FALLING;
    tick();
    fake::direction = RISING;
    tick();
    EXPECT_EQ(fake::writes(), std::vector<int>({0, 2}));
}

TEST_F(DriveTest, ReversalKeepsTheCounter)
{
    enter(Jog::Free);
    zaehler = 2;
    fake::direction = RISING;
    tick(); // rising entry at 2 is 4
    EXPECT_EQ(zaehler, 3);
    fake::direction = FALLING;
    tick(); // falling entry at 3 is 1
    tick(); // counter wrapped to 0: falling entry 8
    EXPECT_EQ(fake::writes(), std::vector<int>({4, 1, 8}));
    EXPECT_EQ(zaehler, 1);
}

TEST_F(DriveTest, RisingFromZeroIsClampedAt340OnThe217thStepAndKeepsStepping)
{
    enter(Jog::Free, 0.0f);
    zaehler = 0;
    fake::direction = RISING;
    for (int i = 0; i < 216; ++i)
        tick();
    EXPECT_NEAR(schrittweite, 339.121, 0.0005);
    tick();
    EXPECT_EQ(schrittweite, POSITION_MAX);
    for (int i = 0; i < 10; ++i)
        tick();
    EXPECT_EQ(schrittweite, POSITION_MAX);
    const auto written = fake::writes();
    ASSERT_EQ(written.size(), 227u);
    for (std::size_t i = 0; i < written.size(); ++i)
        ASSERT_EQ(written[i], RISING_TABLE[i % 4]) << "step " << i;
    EXPECT_EQ(fake::of(Op::SetVal).back().number, 340.0);
}

TEST_F(DriveTest, FallingFrom340AndHeldAtZero)
{
    enter(Jog::Free, POSITION_MAX);
    fake::direction = FALLING;
    tick();
    EXPECT_EQ(schrittweite, 338.43f);

    enter(Jog::Free, 1.0f);
    fake::calls.clear();
    tick();
    EXPECT_EQ(schrittweite, 0.0f);
    tick();
    EXPECT_EQ(schrittweite, 0.0f);
    EXPECT_EQ(fake::writes().size(), 2u); // the bound does not stop the motor
    EXPECT_NE(fake::writes()[1], 0);
}

TEST_F(DriveTest, FarEndStopsRisingUntilReversed)
{
    enter(Jog::Free, POSITION_MAX);
    fake::direction = RISING;
    fake::switches = {NEUTRAL, CODE_FAR};
    tick();
    tick();
    tick();
    tick();
    EXPECT_EQ(fake::of(Op::In).size(), 2u); // no read while latched
    EXPECT_EQ(fake::writes(), std::vector<int>({4, 0, 0, 0}));
    fake::direction = FALLING;
    tick();
    EXPECT_EQ(fake::of(Op::In).size(), 2u); // release tick does not read
    EXPECT_EQ(schrittweite, 338.43f);
    tick();
    EXPECT_EQ(fake::of(Op::In).size(), 3u);
}

TEST_F(DriveTest, PortFollowsAdresseFromTheNextTick)
{
    struct {
        int adresse;
        std::uint16_t data;
    } cases[] = {{0, 0x378}, {1, 0x278}, {2, 0x278}, {-1, 0x278}};
    for (auto c : cases) {
        fake::calls.clear();
        adresse = c.adresse;
        tick();
        ASSERT_EQ(fake::calls.size(), 2u);
        EXPECT_EQ(fake::calls[0].port, c.data + 2) << "adresse " << c.adresse;
        EXPECT_EQ(fake::calls[1].port, c.data) << "adresse " << c.adresse;
    }
    enter(Jog::Free);
    for (auto c : cases) {
        fake::calls.clear();
        adresse = c.adresse;
        tick();
        EXPECT_EQ(fake::of(Op::In).at(0).port, c.data + 2) << "adresse " << c.adresse;
        EXPECT_EQ(fake::of(Op::Out).at(0).port, c.data) << "adresse " << c.adresse;
    }
}

TEST_F(DriveTest, SwitchByteIsSigned)
{
    fake::switches = {0x8D};
    tick();
    EXPECT_EQ(taster, -115);
    EXPECT_EQ(stp, 0);
    enter(Jog::Free);
    fake::switches = {0xFF};
    tick();
    EXPECT_EQ(taster, -1);
}

TEST_F(DriveTest, OnlyCodes13And14AreSwitchCodes)
{
    for (int byte = 0; byte < 256; ++byte) {
        if (byte == CODE_HOME || byte == CODE_FAR)
            continue;
        for (int direction : {RISING, FALLING}) {
            fake::reset();
            enter(Jog::Free);
            fake::direction = direction;
            fake::idle_switch = static_cast<std::uint8_t>(byte);
            tick();
            ASSERT_EQ(aus, 0) << byte;
            ASSERT_EQ(nullpunkt, 0) << byte;
            ASSERT_NE(fake::writes().at(0), 0) << byte;
        }
        fake::reset();
        fake::idle_switch = static_cast<std::uint8_t>(byte);
        tick();
        ASSERT_EQ(stp, 0) << byte;
    }

    // A latched state does not read the port, so no byte the switch register
    // could hold changes the outcome: towards the latched end the drive stands
    // with the latch kept; away from it, the latch is released and it steps.
    struct Latched {
        Jog state;
        int direction;
        bool stands;
    };
    const Latched latched[] = {
        {Jog::FarLatched, RISING, true},
        {Jog::FarLatched, FALLING, false},
        {Jog::HomeLatched, FALLING, true},
        {Jog::HomeLatched, RISING, false},
    };
    for (const Latched &l : latched) {
        const int code = l.state == Jog::FarLatched ? CODE_FAR : CODE_HOME;
        for (int byte = 0; byte < 256; ++byte) {
            fake::reset();
            enter(l.state);
            fake::direction = l.direction;
            fake::idle_switch = static_cast<std::uint8_t>(byte);
            tick();
            SCOPED_TRACE("code " + std::to_string(code) + ", direction " +
                         std::to_string(l.direction) + ", byte " + std::to_string(byte));
            ASSERT_TRUE(fake::of(Op::In).empty());
            ASSERT_EQ(fake::writes().size(), 1u);
            if (l.stands) {
                ASSERT_EQ(fake::writes()[0], PATTERN_STOP);
                ASSERT_EQ(taster, code);
                ASSERT_EQ(l.state == Jog::FarLatched ? aus : nullpunkt, 1);
            } else {
                ASSERT_NE(fake::writes()[0], PATTERN_STOP);
                ASSERT_EQ(taster, 0);
                ASSERT_EQ(aus, 0);
                ASSERT_EQ(nullpunkt, 0);
            }
        }
    }
}

// Home puts the drive back as it was at start-up: from any state, the ticks
// after it read, write and show exactly what the first Start's ticks do, a
// reference run found at the third step and then jogging to the far switch
// and back. The port chosen stays.
TEST_F(DriveTest, HomeFromAnyStateRunsAsTheFirstStart)
{
    const auto run = [] {
        fake::calls.clear();
        fake::switches = {NEUTRAL, NEUTRAL, CODE_HOME, NEUTRAL, CODE_FAR, NEUTRAL, NEUTRAL};
        fake::direction = RISING;
        for (int i = 0; i < 9; ++i)
            tick();
        std::vector<std::string> seen;
        for (const fake::Call &c : fake::calls)
            seen.push_back(std::to_string(int(c.op)) + " " + std::to_string(c.port) + " " +
                           std::to_string(c.byte) + " " + std::to_string(c.number));
        return seen;
    };
    fake::reset();
    adresse = 1;
    const auto first_start = run();
    ASSERT_EQ(stp, 1);
    ASSERT_EQ(aus, 1);

    struct From {
        const char *name;
        void (*put)();
    };
    const From states[] = {
        {"reference run under way",
         [] {
             zaehler = 3;
             taster = CODE_FAR;
             richt = 1;
         }},
        {"jogging",
         [] {
             enter(Jog::Free, 200.0f);
             richt = 1;
         }},
        {"holding at the far switch", [] { enter(Jog::FarLatched, 340.0f); }},
        {"holding at home", [] { enter(Jog::HomeLatched, 0.0f); }},
    };
    for (const From &from : states) {
        fake::reset();
        adresse = 1;
        from.put();
        grundstellung();
        EXPECT_EQ(adresse, 1) << from.name;
        EXPECT_EQ(run(), first_start) << from.name;
    }
}

} // namespace
