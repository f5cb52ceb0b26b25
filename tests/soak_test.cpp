// Soak: the real program (main, the Start/Stop/Quit callbacks and the tick
// sequencer) on the real simulated rig for millions of ticks, with an
// operator who presses buttons, changes the direction and the port at random
// moments. The panel is a light stand-in; the ports are reached through the
// real inp/outp and a checking backend that wraps the rig.
//
// What holds for the carriage (worked out on the rig's model, and searched
// exhaustively below):
// - A tick that begins with the end switch ahead latched writes the stop
//   pattern or writes to the second port: the carriage does not move at all.
// - Stepping in the direction of travel never reaches a hard stop. A free tick
//   reads the switches before it steps, and a latch is held only while the
//   drive stands, so a step forward starts inside the travel or behind the
//   opposite switch and ends at most at the switch ahead.
// - The carriage can still step against the direction of travel: the phase
//   counter restarts after every stop and runs on while the drive steps on the
//   second port, where the motor does not follow, so the next pattern may be
//   the phase behind the rotor. On one port alone that carries the carriage
//   at most a step or two past a switch and never to a hard stop. Once the
//   drive has stepped on the second port, repeated wrong-way steps can reach
//   the hard stop behind the direction of travel, and the rig stalls there.
// So the checks are: no motion on a latched-ahead tick, a stall only at the
// stop behind the direction of travel, and no stall before the first tick on
// the second port.
#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/ports/ports.h"
#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"
#include "support/program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <unordered_set>

using stelmo::ports::RIG_OVERTRAVEL;
using stelmo::ports::RIG_TRAVEL;
using stelmo::ports::RigState;
using stelmo::ports::SimRig;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

// Ticks of the default run; STELMO_SOAK_TICKS asks for another count. An
// unoptimised sanitizer build is twenty to forty times slower, so it runs a tenth.
constexpr long DEFAULT_TICKS = SANITIZED ? 1'000'000 : 10'000'000;

constexpr int HANDLE = 3; // what the stand-in LoadPanel hands out

// A failure found by a stand-in or a check: reported once, ends the soak.
bool failed = false;
void fault(const std::string &what)
{
    if (!failed)
        ADD_FAILURE() << what;
    failed = true;
}

// --- the operator panel ----------------------------------------------------

struct Panel {
    int port_index = 0;    // what the port selector shows
    int direction = 0;     // what the direction selector shows
    bool timer_on = false; // the timer control
    long index_reads = 0;  // GetCtrlIndex calls
    long shown = 0;        // SetCtrlVal calls
    double last_shown = 0;
    int quits = 0;
    std::function<void()> during_run; // the operator, inside RunUserInterface
};
Panel panel;

// --- the port: the rig behind a checking backend --------------------------

class CheckingPort : public stelmo::ports::Backend {
public:
    explicit CheckingPort(SimRig &rig) : rig_(rig) {}

    struct Access {
        bool write;
        std::uint16_t port;
        std::uint8_t value;
    };

    bool read(std::uint16_t port, std::uint8_t &value) override
    {
        const bool done = rig_.read(port, value);
        note({false, port, value});
        return done;
    }
    bool write(std::uint16_t port, std::uint8_t value) override
    {
        note({true, port, value});
        return rig_.write(port, value);
    }

    void clear() { count = 0; }

    static constexpr int KEPT = 4;
    Access accesses[KEPT];
    int count = 0; // accesses since clear(), including those not kept

private:
    void note(const Access &a)
    {
        if (count < KEPT)
            accesses[count] = a;
        ++count;
    }
    SimRig &rig_;
};

struct DriveState {
    int stp, richt, adresse, taster, aus, nullpunkt, zaehler;
    float schrittweite;
    bool operator==(const DriveState &) const = default;
};

DriveState drive_state()
{
    return {stp, richt, adresse, taster, aus, nullpunkt, zaehler, schrittweite};
}

void reset_drive()
{
    panelHandle = stp = richt = adresse = taster = aus = nullpunkt = zaehler = 0;
    schrittweite = 0.0f;
}

std::string describe(const DriveState &s)
{
    return "stp " + std::to_string(s.stp) + ", taster " + std::to_string(s.taster) + ", aus " +
           std::to_string(s.aus) + ", nullpunkt " + std::to_string(s.nullpunkt) + ", zaehler " +
           std::to_string(s.zaehler) + ", schrittweite " + std::to_string(s.schrittweite);
}

// Which way a tick that starts in the current drive state travels, and
// whether the end switch ahead is latched at its start. `rising` is the
// direction selector the tick will read.
struct Heading {
    bool reference; // still looking for home: travels towards home
    bool towards_far;
    bool latched_ahead;
};

Heading heading(bool rising)
{
    Heading h{};
    h.reference = stp == 0 && taster != CODE_HOME;
    h.towards_far = !h.reference && rising;
    if (!h.reference)
        h.latched_ahead =
            rising ? (aus == 1 || taster == CODE_FAR) : (nullpunkt == 1 || taster == CODE_HOME);
    return h;
}

// Checks what the rig did on one tick against the heading at its start.
// Returns the fault, or empty.
std::string check_carriage(const Heading &h, const RigState &before, const RigState &after,
                           bool second_port_used)
{
    if (h.latched_ahead && (after.steps != before.steps || after.stalls != before.stalls))
        return "the carriage moved from " + std::to_string(before.position) + " to " +
               std::to_string(after.position) +
               " on a tick that began with the switch ahead latched";
    if (after.stalls == before.stalls)
        return {};
    const int behind = h.towards_far ? -RIG_OVERTRAVEL : RIG_TRAVEL + RIG_OVERTRAVEL;
    if (after.position != behind)
        return std::string("stalled at ") + std::to_string(after.position) +
               ", the hard stop ahead, travelling towards the " +
               (h.towards_far ? "far end" : "home end");
    if (!second_port_used)
        return "stalled at " + std::to_string(after.position) +
               " although the drive never stepped on the second port";
    return {};
}

std::string hex(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

std::uint16_t base_for(int index)
{
    return index == 0 ? PORT_FIRST : PORT_SECOND;
}

// Checks the port accesses of one tick: at most one read of the switch
// register and one write of a single phase or nothing, on the port taken at
// the last Start.
std::string check_accesses(const CheckingPort &port, std::uint16_t base)
{
    int reads = 0;
    int writes = 0;
    for (int i = 0; i < std::min(port.count, CheckingPort::KEPT); ++i) {
        const auto &a = port.accesses[i];
        (a.write ? writes : reads)++;
        const std::uint16_t expected = a.write ? base + REG_PATTERN : base + REG_SWITCH;
        if (a.port != expected)
            return std::string(a.write ? "wrote to" : "read from") + " port " + hex(a.port) +
                   ", expected " + hex(expected);
        if (a.write && a.value != 0 && a.value != 1 && a.value != 2 && a.value != 4 && a.value != 8)
            return "wrote " + std::to_string(a.value) + ", which is not one phase or none";
    }
    if (port.count > 2 || reads > 1 || writes > 1)
        return std::to_string(port.count) + " port accesses in one tick";
    return {};
}

std::string check_ranges()
{
    if (zaehler < 0 || zaehler >= PHASE_COUNT)
        return "zaehler is " + std::to_string(zaehler);
    if (!(schrittweite >= POSITION_MIN && schrittweite <= POSITION_MAX))
        return "schrittweite is " + std::to_string(schrittweite);
    return {};
}

long positive_from_environment(const char *name, long fallback)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 0);
    if (errno != 0 || *end != '\0' || value <= 0) {
        ADD_FAILURE() << name << "=" << text << " is not a whole number above 0";
        return fallback;
    }
    return static_cast<long>(value);
}

} // namespace

// --- the run-time services the program calls -------------------------------

extern "C" int InitRuntimeEx(int, char **, int)
{
    return 1;
}

extern "C" int LoadPanel(int, const char *file, int id)
{
    if (std::strcmp(file, "stelmo.uir") != 0 || id != PANEL)
        fault(std::string("LoadPanel of ") + file + ", panel " + std::to_string(id));
    panel.timer_on = true; // the panel file has its timer running
    return HANDLE;
}

extern "C" int DisplayPanel(int)
{
    return 0;
}

extern "C" int RunUserInterface(void)
{
    if (panel.during_run)
        panel.during_run();
    return 0;
}

extern "C" int QuitUserInterface(int)
{
    ++panel.quits;
    return 0;
}

extern "C" int GetCtrlIndex(int handle, int control, int *index)
{
    ++panel.index_reads;
    if (handle != HANDLE || (control != PANEL_ADRESSE && control != PANEL_RICHT)) {
        fault("GetCtrlIndex(" + std::to_string(handle) + ", " + std::to_string(control) + ")");
        return ERR_BAD_CONTROL_ID;
    }
    *index = control == PANEL_ADRESSE ? panel.port_index : panel.direction;
    return 0;
}

extern "C" int SetCtrlAttribute(int handle, int control, int attribute, int value)
{
    if (handle != HANDLE || control != PANEL_TIMER || attribute != ATTR_TIMER_ENABLED) {
        fault("SetCtrlAttribute(" + std::to_string(handle) + ", " + std::to_string(control) + ", " +
              std::to_string(attribute) + ")");
        return ERR_BAD_CONTROL_ID;
    }
    panel.timer_on = value != 0;
    return 0;
}

// The Step button's question; this operator presses Start, Stop and Quit only.
extern "C" int GetCtrlAttribute(int, int, int, int *value)
{
    *value = panel.timer_on;
    return 0;
}

extern "C" int SetCtrlVal(int handle, int control, double value)
{
    ++panel.shown;
    panel.last_shown = value;
    if (handle != HANDLE || control != PANEL_SCHRITTWEITE)
        fault("SetCtrlVal(" + std::to_string(handle) + ", " + std::to_string(control) + ")");
    return 0;
}

namespace {

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_drive();
        panel = Panel{};
        failed = false;
        stelmo::ports::install(&port);
    }
    void TearDown() override { stelmo::ports::install(nullptr); }

    SimRig rig;
    CheckingPort port{rig};
};

// The operator, pressing things at random moments while the ticks run.
class Operator {
public:
    Operator(SimRig &rig, CheckingPort &port, std::uint64_t seed, long tick_count)
        : rig_(rig), port_(port), random_(seed), target_(tick_count)
    {
    }

    void run()
    {
        if (panel.timer_on)
            fault("the ticks run before Start was pressed");
        while (!failed && ticks < target_) {
            // Now and then a fidgety spell: direction and port change every
            // few ticks, which is what walks the carriage past a switch.
            const bool fidgety = ticks < fidget_until_;
            if (ticks >= next_direction_) {
                panel.direction = coin() ? 1 : 0;
                next_direction_ = ticks + (fidgety ? 1 + below(3) : hold(8, 700));
                ++direction_changes;
                if (!fidgety && below(40) == 0) {
                    fidget_until_ = ticks + 20 + below(400);
                    next_port_ = std::min(next_port_, ticks + 1);
                }
            }
            if (ticks >= next_port_) {
                panel.port_index = coin() ? 1 : 0;
                if (below(4) != 0) // mostly followed by Start; else taken at a later Start
                    press(start, EVENT_COMMIT);
                next_port_ = ticks + (fidgety ? 1 + below(4) : hold(8, 20000));
            }
            const int r = below(1000);
            if (!panel.timer_on) {
                if (r < 50)
                    press(start, EVENT_COMMIT);
                else
                    ++idle_rounds;
            } else if (r < 1) {
                press(stop, EVENT_COMMIT);
            } else if (r < 2) {
                press(start, EVENT_COMMIT); // Start while running
            } else if (r < 4) {
                other_event_to_timer();
            } else if (r < 6) {
                other_event_to_button();
            } else {
                tick();
            }
        }
        if (!failed) // Quit ends RunUserInterface, and with it main
            press(Ende, EVENT_COMMIT);
    }

    long ticks = 0;
    long ticks_on_second = 0;
    long direction_changes = 0;
    long presses = 0;
    long other_events = 0;
    long idle_rounds = 0;
    long wrong_way_steps = 0;
    long stalls = 0;
    int lowest = stelmo::ports::RIG_START; // carriage positions seen
    int highest = stelmo::ports::RIG_START;
    bool homed = false;
    bool far_latched = false;
    bool home_latched = false;

private:
    bool coin() { return below(2) == 1; }
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    // Ticks until the next change: often a handful, otherwise up to `longest`.
    long hold(int few, int longest) { return 1 + (coin() ? below(few) : below(longest)); }

    void tick()
    {
        if (start_base_ == 0) {
            fault("the timer ticks although Start was never pressed");
            return;
        }
        const Heading h = heading(panel.direction == 1);
        const RigState before = rig_.state();
        const long shown_before = panel.shown;
        const long reads_before = panel.index_reads;
        second_port_used_ |= start_base_ == PORT_SECOND;

        port_.clear();
        if (timer(HANDLE, PANEL_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0) != 0)
            fault("timer returned non-zero");
        ++ticks;
        ticks_on_second += start_base_ == PORT_SECOND;

        const RigState &after = rig_.state();
        std::string problem = check_ranges();
        if (problem.empty())
            problem = check_accesses(port_, start_base_);
        if (problem.empty())
            problem = check_carriage(h, before, after, second_port_used_);
        if (problem.empty() &&
            (panel.shown - shown_before > 1 || panel.index_reads - reads_before > 1))
            problem = "more than one selector read or display update in one tick";
        if (problem.empty() && panel.shown != shown_before &&
            !(panel.last_shown >= POSITION_MIN && panel.last_shown <= POSITION_MAX))
            problem = "showed " + std::to_string(panel.last_shown);
        if (problem.empty() && homed && stp != 1)
            problem = "the drive forgot that it found home";
        if (!problem.empty()) {
            fault("tick " + std::to_string(ticks) + ": " + problem + " (" +
                  describe(drive_state()) + ", carriage " + std::to_string(after.position) + ")");
            return;
        }

        homed |= stp == 1;
        far_latched |= aus == 1;
        home_latched |= nullpunkt == 1;
        stalls += after.stalls - before.stalls;
        lowest = std::min(lowest, after.position);
        highest = std::max(highest, after.position);
        const int moved = after.position - before.position;
        if (moved != 0 && (moved > 0) != h.towards_far)
            ++wrong_way_steps;
    }

    // A button press: it must not touch the port, and apart from what Start
    // takes, the drive state stays as it was.
    void press(CtrlCallbackPtr button, int event)
    {
        ++presses;
        const DriveState was = drive_state();
        const bool was_on = panel.timer_on;
        const int quits = panel.quits;
        port_.clear();
        if (button(HANDLE, 0, event, nullptr, 0, 0) != 0)
            fault("a button callback returned non-zero");
        DriveState expected = was;
        bool on = was_on;
        int quit_calls = quits;
        if (event == EVENT_COMMIT && button == start) {
            expected.adresse = panel.port_index;
            start_base_ = base_for(panel.port_index);
            on = true;
        } else if (event == EVENT_COMMIT && button == stop) {
            on = false;
        } else if (event == EVENT_COMMIT && button == Ende) {
            ++quit_calls;
        }
        if (port_.count != 0)
            fault("a button press touched the port");
        if (!(drive_state() == expected))
            fault("a button press changed the drive state to " + describe(drive_state()));
        if (panel.timer_on != on)
            fault(std::string("after a button press the timer is ") +
                  (panel.timer_on ? "on" : "off"));
        if (panel.quits != quit_calls)
            fault("Quit was asked for " + std::to_string(panel.quits - quits) + " times");
    }

    // Any event but a commit.
    void other_event_to_button()
    {
        ++other_events;
        const CtrlCallbackPtr buttons[] = {start, stop, Ende};
        int event;
        do
            event = below(40) - 4;
        while (event == EVENT_COMMIT);
        press(buttons[below(3)], event);
    }

    // Any event but a tick: nothing happens.
    void other_event_to_timer()
    {
        ++other_events;
        int event;
        do
            event = below(40) - 4;
        while (event == EVENT_TIMER_TICK);
        const DriveState was = drive_state();
        const RigState rig_was = rig_.state();
        const long reads = panel.index_reads;
        const long shown = panel.shown;
        port_.clear();
        timer(HANDLE, PANEL_TIMER, event, nullptr, 0, 0);
        if (port_.count != 0 || !(drive_state() == was) || panel.index_reads != reads ||
            panel.shown != shown || rig_.state().position != rig_was.position)
            fault("event " + std::to_string(event) + " to the timer did something");
    }

    SimRig &rig_;
    CheckingPort &port_;
    std::mt19937_64 random_;
    long target_;
    long next_direction_ = 0;
    long next_port_ = 0;
    long fidget_until_ = 0;
    std::uint16_t start_base_ = 0; // the port taken at the last Start; 0 before the first
    bool second_port_used_ = false;
};

TEST_F(SoakTest, RandomOperatorForMillionsOfTicks)
{
    const long ticks = positive_from_environment("STELMO_SOAK_TICKS", DEFAULT_TICKS);
    const auto seed = static_cast<std::uint64_t>(
        positive_from_environment("STELMO_SOAK_SEED", static_cast<long>(std::random_device{}())));
    std::cout << "soak: seed " << seed << " (replay with STELMO_SOAK_SEED=" << seed << "), "
              << ticks << " ticks" << std::endl;
    RecordProperty("seed", std::to_string(seed));

    Operator op(rig, port, seed, ticks);
    panel.during_run = [&] { op.run(); };
    const auto began = std::chrono::steady_clock::now();
    char name[] = "stelmo";
    char *argv[] = {name, nullptr};
    const int status = stelmo_main(1, argv);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    EXPECT_EQ(status, 0);
    EXPECT_EQ(panel.quits, failed ? 0 : 1);
    ASSERT_FALSE(failed) << "replay with STELMO_SOAK_SEED=" << seed
                         << " STELMO_SOAK_TICKS=" << ticks;
    EXPECT_EQ(op.ticks, ticks);
    std::cout << "soak: " << op.ticks << " ticks in " << seconds << " s; " << op.ticks_on_second
              << " on the second port, " << op.direction_changes << " direction changes, "
              << op.presses << " button presses, " << op.other_events << " other events; "
              << "carriage: " << rig.state().steps << " steps, " << op.wrong_way_steps
              << " against the direction of travel, " << op.stalls << " stalls behind it, "
              << "between " << op.lowest << " and " << op.highest << std::endl;

    // A full-length walk must have been everywhere that matters.
    if (ticks >= DEFAULT_TICKS) {
        EXPECT_TRUE(op.homed);
        EXPECT_TRUE(op.far_latched);
        EXPECT_TRUE(op.home_latched);
        EXPECT_GT(op.ticks_on_second, 0);
        EXPECT_LT(op.ticks_on_second, op.ticks);
        EXPECT_GT(op.idle_rounds, 0); // time with the ticks stopped
    }
}

// Every state the drive and the rig can reach together, with any direction
// and either port chosen before each tick (a port change is Start with the
// other port selected; Stop only pauses the ticks and changes no state).
TEST_F(SoakTest, EveryReachableStateKeepsTheCarriageInvariants)
{
    panelHandle = HANDLE;
    struct Node {
        int stp, taster, aus, nullpunkt, zaehler;
        bool second_port_used;
        SimRig rig;
    };
    const auto key = [](const Node &n) {
        std::uint64_t k = static_cast<std::uint8_t>(n.taster);
        k = k << 1 | static_cast<std::uint64_t>(n.stp);
        k = k << 1 | static_cast<std::uint64_t>(n.aus);
        k = k << 1 | static_cast<std::uint64_t>(n.nullpunkt);
        k = k << 2 | static_cast<std::uint64_t>(n.zaehler);
        k = k << 1 | static_cast<std::uint64_t>(n.second_port_used);
        k = k << 2 | static_cast<std::uint64_t>(n.rig.state().rotor);
        k = k << 16 | static_cast<std::uint16_t>(n.rig.state().position);
        return k;
    };

    std::deque<Node> queue{Node{0, 0, 0, 0, 0, false, SimRig{}}};
    std::unordered_set<std::uint64_t> seen{key(queue.front())};
    long transitions = 0;
    long stall_transitions = 0;
    int lowest = RIG_TRAVEL;
    int highest = 0;
    int lowest_one_port = RIG_TRAVEL;
    int highest_one_port = 0;
    while (!queue.empty()) {
        const Node from = queue.front();
        queue.pop_front();
        for (int input = 0; input < 4; ++input) {
            SimRig next = from.rig;
            stelmo::ports::install(&next);
            stp = from.stp;
            taster = from.taster;
            aus = from.aus;
            nullpunkt = from.nullpunkt;
            zaehler = from.zaehler;
            schrittweite = 100.0f; // changes no decision
            panel.direction = input & 1;
            adresse = input >> 1;
            const bool second = from.second_port_used || adresse != 0;
            const Heading h = heading(panel.direction == 1);
            const std::string was = describe(drive_state());
            timer(HANDLE, PANEL_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0);
            ++transitions;

            std::string problem = check_ranges();
            if (problem.empty())
                problem = check_carriage(h, from.rig.state(), next.state(), second);
            ASSERT_EQ(problem, "")
                << "from " << was << ", carriage " << from.rig.state().position << ", direction "
                << panel.direction << ", port index " << adresse;
            const int at = next.state().position;
            lowest = std::min(lowest, at);
            highest = std::max(highest, at);
            if (!second) {
                lowest_one_port = std::min(lowest_one_port, at);
                highest_one_port = std::max(highest_one_port, at);
            }
            stall_transitions += next.state().stalls - from.rig.state().stalls;
            Node to{stp, taster, aus, nullpunkt, zaehler, second, next};
            if (seen.insert(key(to)).second)
                queue.push_back(to);
        }
    }
    stelmo::ports::install(&port);

    // On the rig's port alone the carriage stays inside the hard stops.
    EXPECT_GT(lowest_one_port, -RIG_OVERTRAVEL);
    EXPECT_LT(highest_one_port, RIG_TRAVEL + RIG_OVERTRAVEL);
    std::cout << "search: " << seen.size() << " states, " << transitions << " ticks; carriage "
              << lowest_one_port << ".." << highest_one_port << " on one port, " << lowest << ".."
              << highest << " with port changes, " << stall_transitions << " ticks that stall"
              << std::endl;
}

} // namespace
