// The simulated rig: motor, carriage, hard stops and switches, alone and
// driven by the tick sequencer through inp/outp; the port monitor on it.
#include "runtime/ports/sim_rig.h"

#include "drive/drive.h"
#include "runtime/ports/monitor.h"
#include "runtime/ports/switch_mask.h"
#include "runtime/services.h"

#include <gtest/gtest.h>

#include <vector>

using namespace stelmo::ports;

// The tick sequencer's panel calls; the reference run does not reach them.
extern "C" int GetCtrlIndex(int, int, int *index)
{
    *index = 0;
    return 0;
}
extern "C" int SetCtrlVal(int, int, double)
{
    return 0;
}

namespace {

constexpr std::uint16_t DATA = 0x378;
constexpr std::uint16_t SWITCHES = 0x37A;

class PortsRigTest : public ::testing::Test {
protected:
    // Writes each pattern to the data register.
    void drive(std::initializer_list<int> patterns)
    {
        for (int p : patterns)
            ASSERT_TRUE(rig.write(DATA, static_cast<std::uint8_t>(p)));
    }
    // `count` full steps' worth of patterns: the phase after the rotor's
    // (towards the far end) or the one before it (towards home).
    void steps(int count, bool far)
    {
        for (int i = 0; i < count; ++i)
            rig.write(DATA,
                      static_cast<std::uint8_t>(1 << ((rig.state().rotor + (far ? 1 : 3)) % 4)));
    }
    SimRig rig;
};

TEST_F(PortsRigTest, NextPhaseStepsFarPreviousStepsHomeAndReverses)
{
    drive({2, 4, 8, 1});
    EXPECT_EQ(rig.state().position, RIG_START + 4);
    EXPECT_EQ(rig.state().rotor, 0);
    drive({8, 4, 2, 1, 8});
    EXPECT_EQ(rig.state().position, RIG_START - 1);
    drive({1}); // reverse
    EXPECT_EQ(rig.state().position, RIG_START);
    EXPECT_EQ(rig.state().steps, 10);
    EXPECT_EQ(rig.state().stalls, 0);
}

TEST_F(PortsRigTest, SameNoOppositeOrSeveralPhasesHoldAndUpperBitsDoNotCount)
{
    drive({1, 0, 4, 3, 5, 0x0F, 0xF0});
    EXPECT_EQ(rig.state().position, RIG_START);
    EXPECT_EQ(rig.state().rotor, 0);
    drive({0xF2, 0, 0x34}); // the rotor keeps D1 while unpowered
    EXPECT_EQ(rig.state().position, RIG_START + 2);
    EXPECT_EQ(rig.state().steps, 2);
    EXPECT_EQ(rig.read_byte(DATA), 0x34);
}

TEST_F(PortsRigTest, SwitchRegisterAlongTheTravel)
{
    EXPECT_EQ(rig.read_byte(SWITCHES), RIG_CODE_NEUTRAL);
    steps(RIG_START - 1, false);
    EXPECT_EQ(rig.read_byte(SWITCHES), RIG_CODE_NEUTRAL);
    steps(1, false);
    EXPECT_EQ(rig.read_byte(SWITCHES), SWITCH_HOME);
    EXPECT_TRUE(rig.state().home_closed);
    steps(3, false);
    EXPECT_EQ(rig.read_byte(SWITCHES), SWITCH_HOME);
    steps(RIG_TRAVEL + 2, true);
    EXPECT_EQ(rig.state().position, RIG_TRAVEL - 1);
    EXPECT_EQ(rig.read_byte(SWITCHES), RIG_CODE_NEUTRAL);
    EXPECT_FALSE(rig.state().home_closed);
    steps(1, true);
    EXPECT_EQ(rig.read_byte(SWITCHES), SWITCH_FAR);
    EXPECT_TRUE(rig.state().far_closed);
}

TEST_F(PortsRigTest, HardStopsStallBothEnds)
{
    steps(RIG_START + RIG_OVERTRAVEL + 3, false);
    EXPECT_EQ(rig.state().position, -RIG_OVERTRAVEL);
    EXPECT_EQ(rig.state().stalls, 3);
    EXPECT_EQ(rig.read_byte(SWITCHES), SWITCH_HOME);
    steps(1, true); // leaves the stop at once
    EXPECT_EQ(rig.state().position, -RIG_OVERTRAVEL + 1);
    steps(RIG_TRAVEL + 2 * RIG_OVERTRAVEL + 1, true);
    EXPECT_EQ(rig.state().position, RIG_TRAVEL + RIG_OVERTRAVEL);
    EXPECT_EQ(rig.state().stalls, 5);
    EXPECT_EQ(rig.read_byte(SWITCHES), SWITCH_FAR);
    EXPECT_EQ(rig.state().steps,
              (RIG_START + RIG_OVERTRAVEL) + 1 + (RIG_TRAVEL + 2 * RIG_OVERTRAVEL - 1));
}

TEST_F(PortsRigTest, OnlyTheFirstPortIsWired)
{
    std::uint8_t value = 0;
    const std::uint16_t second[] = {0x278, 0x27A};
    for (std::uint16_t port : second) {
        EXPECT_TRUE(rig.read(port, value)); // nothing behind it, as on an idle port
        EXPECT_EQ(value, 0xFF);
        EXPECT_TRUE(rig.write(port, 2));
    }
    const std::uint16_t unwired[] = {0x379, 0x37B, 0x279, 0x000, 0xFFFF};
    for (std::uint16_t port : unwired) {
        value = 0;
        EXPECT_FALSE(rig.read(port, value)); // no such register
        EXPECT_EQ(value, 0xFF);
        EXPECT_FALSE(rig.write(port, 2));
    }
    EXPECT_EQ(rig.state().position, RIG_START);
    EXPECT_EQ(rig.state().data, 0);
}

TEST_F(PortsRigTest, ObserverHearsChangesOnly)
{
    int calls = 0;
    rig.set_observer([](void *n) { ++*static_cast<int *>(n); }, &calls);
    rig.read_byte(SWITCHES);
    drive({0, 0});
    EXPECT_EQ(calls, 0);
    drive({2, 2, 0x12, 0});
    EXPECT_EQ(calls, 3); // step, same phase with new upper bits, power off
    steps(RIG_START + RIG_OVERTRAVEL + 2, false);
    EXPECT_EQ(calls, 3 + RIG_START + RIG_OVERTRAVEL + 2); // stalls count as changes
    rig.set_observer(nullptr, nullptr);
    drive({1});
    EXPECT_EQ(calls, 3 + RIG_START + RIG_OVERTRAVEL + 2);
}

TEST_F(PortsRigTest, ReferenceRunThroughInpOutpFindsHome)
{
    struct Seen {
        SimRig &rig;
        std::vector<int> data; // the data lines after each change
    } seen{rig, {}};
    rig.set_observer(
        [](void *c) {
            auto *s = static_cast<Seen *>(c);
            s->data.push_back(s->rig.state().data);
        },
        &seen);
    install(&rig);
    stp = taster = zaehler = adresse = 0;
    int ticks = 0;
    for (; stp == 0 && ticks < 1000; ++ticks)
        timer(0, 0, EVENT_TIMER_TICK, nullptr, 0, 0);
    install(nullptr);
    EXPECT_EQ(ticks, RIG_START + 1); // one step per tick, then the stop
    ASSERT_EQ(seen.data.size(), static_cast<std::size_t>(ticks)); // every write changed it
    EXPECT_EQ(std::vector<int>(seen.data.begin(), seen.data.begin() + 5),
              std::vector<int>({8, 4, 2, 1, 8}));
    EXPECT_EQ(seen.data.back(), 0);
    EXPECT_EQ(taster, CODE_HOME);
    EXPECT_EQ(rig.state().position, 0);
    EXPECT_EQ(rig.state().steps, RIG_START);
    EXPECT_EQ(rig.state().stalls, 0);
}

TEST_F(PortsRigTest, InpOutpRouteToTheChosenBackend)
{
    install(nullptr);
    EXPECT_EQ(inp(SWITCHES), 0xFF);
    EXPECT_LT(outp(DATA, 2), 0);
    install(&rig);
    EXPECT_EQ(outp(DATA, 2), 0);
    EXPECT_LT(outp(0x379, 2), 0);
    EXPECT_EQ(inp(DATA), 2);
    EXPECT_EQ(inp(SWITCHES), RIG_CODE_NEUTRAL);
    EXPECT_LT(static_cast<std::int8_t>(inp(SWITCHES)), 0); // the program widens it signed
    install(nullptr);
    EXPECT_EQ(rig.state().position, RIG_START + 1);

    for (const char *io : {static_cast<const char *>(nullptr), "", "sim"}) {
        stelmo::ports::Setup setup;
        std::string error;
        ASSERT_TRUE(open_backend(io, nullptr, setup, error)) << error;
        EXPECT_EQ(setup.description, "simulated rig");
        ASSERT_NE(setup.monitor, nullptr); // inp/outp → monitor → rig
        EXPECT_EQ(static_cast<Backend *>(setup.monitor), setup.backend.get());
        EXPECT_EQ(static_cast<Backend *>(setup.rig), &setup.monitor->inner());
        EXPECT_EQ(setup.trace, nullptr);
    }
}

// The monitor keeps the last data write and switch read of either port, and
// whether they failed, and calls its observer when that changes.
TEST_F(PortsRigTest, MonitorShowsTheLastDataWriteAndSwitchRead)
{
    stelmo::ports::Setup setup;
    std::string error;
    ASSERT_TRUE(open_backend("sim", nullptr, setup, error)) << error;
    int calls = 0;
    setup.monitor->set_observer([](void *n) { ++*static_cast<int *>(n); }, &calls);
    install(setup.backend.get());
    outp(DATA, 8);
    inp(SWITCHES);
    inp(SWITCHES);  // the same again: no change
    outp(0x37A, 1); // not a data register
    inp(DATA);      // not a switch register
    const PortActivity seen = setup.monitor->snapshot();
    outp(0x278, 0);
    install(nullptr);
    EXPECT_EQ(seen.data_port, DATA);
    EXPECT_EQ(seen.data_value, 8);
    EXPECT_EQ(seen.switch_port, SWITCHES);
    EXPECT_EQ(seen.switch_value, RIG_CODE_NEUTRAL);
    EXPECT_FALSE(seen.data_failed || seen.switch_failed);
    EXPECT_EQ(seen.changes, 2u);
    EXPECT_EQ(setup.monitor->snapshot().data_port, 0x278);
    EXPECT_EQ(calls, 3);

    struct Dead : Backend {
        bool read(std::uint16_t, std::uint8_t &value) override
        {
            value = 0xFF;
            return false;
        }
        bool write(std::uint16_t, std::uint8_t) override { return false; }
    };
    Monitor failing(std::make_unique<Dead>());
    failing.write(DATA, 8);
    failing.read_byte(SWITCHES);
    EXPECT_TRUE(failing.snapshot().data_failed);
    EXPECT_EQ(failing.snapshot().data_value, 8); // what the program tried to write
    EXPECT_TRUE(failing.snapshot().switch_failed);
}

// The switch mask lies under the monitor: the program and the monitor get the
// masked byte, the monitor the raw one beside it. A failed read is not
// masked: 0xff & 0x0d would read as the home switch.
TEST_F(PortsRigTest, SwitchMaskChangesWhatTheProgramReads)
{
    stelmo::ports::Setup setup;
    std::string error;
    ASSERT_TRUE(open_backend("sim", nullptr, setup, error, "STELMO_TRACE", 0x0f)) << error;
    install(setup.backend.get());
    const std::uint8_t got = inp(SWITCHES);
    outp(DATA, 8);
    const std::uint8_t data = inp(DATA); // no switch register: left alone
    install(nullptr);
    EXPECT_EQ(got, RIG_CODE_NEUTRAL & 0x0f);
    EXPECT_EQ(data, 8);
    EXPECT_EQ(setup.monitor->snapshot().switch_value, RIG_CODE_NEUTRAL & 0x0f);
    EXPECT_EQ(setup.monitor->snapshot().switch_raw, RIG_CODE_NEUTRAL);

    struct Dead : Backend {
        bool read(std::uint16_t, std::uint8_t &value) override
        {
            value = PORT_NOTHING;
            return false;
        }
        bool write(std::uint16_t, std::uint8_t) override { return false; }
    };
    SwitchMask masked(std::make_unique<Dead>(), 0x0d | 0x0e);
    EXPECT_EQ(masked.read_byte(SWITCHES), PORT_NOTHING);
}

} // namespace
