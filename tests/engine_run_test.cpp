// The running engine: timer ticks switched on and off, the event loop and
// quitting it, reading selectors, showing values, and calls that name
// nothing. Runs the real event loop offscreen. Ticks run on their timers'
// threads: what they record is read after switching the timer off under the
// engine's lock (stop_ticks), which also orders it before the reading. Tests
// wait for counts of ticks and events, never for a span of time. What a
// screen reader hears is read through AT-SPI (xvfb_accessibility_test).
#include "engine_support.h"

#include "runtime/engine/engine.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/services.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLCDNumber>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

namespace {

using namespace support;
using Clock = std::chrono::steady_clock;

constexpr int TIMER = 9;     // operator.ui: 10 ms timer, loaded switched off
constexpr int START = 2;     // button bound to engine_test_click
constexpr int QUIT = 3;      // button bound to engine_test_quit (quits with 7)
constexpr int POSITION = 5;  // QDoubleSpinBox, 0..340, two decimals
constexpr int PORT = 6;      // selector without callback, two entries
constexpr int DIRECTION = 7; // selector with callback, three entries, index 1 at start
constexpr int COUNTER = 8;   // QLCDNumber, four digits

// How often the tick threads ("stelmo-tick") were switched in, summed, once
// every one of them sleeps (a new one, or one just switched off, may still be
// on its way to sleep): two looks 20 ms apart agree, and saw each thread
// sleeping, not waiting for a processor. -1: no tick thread.
long settled_tick_thread_switches()
{
    const auto look = [](bool &all_asleep) {
        long switches = -1;
        all_asleep = true;
        for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(task.path() / "comm"), status(task.path() / "status");
            std::string line;
            if (!std::getline(comm, line) || line != "stelmo-tick")
                continue;
            switches = std::max(switches, 0L);
            while (std::getline(status, line)) {
                if (line.rfind("State:", 0) == 0)
                    all_asleep &= line.find('S') != std::string::npos;
                if (line.find("ctxt_switches:") != std::string::npos)
                    switches += std::stol(line.substr(line.find(':') + 1));
            }
        }
        return switches;
    };
    bool asleep = false;
    long last = look(asleep);
    wait_until([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bool still = false;
        const long now = look(still);
        const bool settled = asleep && still && now == last;
        last = now;
        asleep = still;
        return settled;
    });
    return last;
}

class EngineRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(start_engine()); }

    void SetUp() override
    {
        events.clear();
        on_event = nullptr;
        handle = LoadPanel(0, (panels_dir() + "/operator.ui").c_str(), 1);
        ASSERT_GE(handle, 1);
    }

    void TearDown() override
    {
        on_event = nullptr;
        SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0);
        // Closing the window ends the loop; let that request be used up here.
        if (QWidget *root = stelmo::engine::panel_widget(handle); root && root->isVisible()) {
            root->close();
            RunUserInterface();
        }
    }

    // Switches the panel's timer off under the engine's lock: no tick runs
    // after it, and what ticks recorded may be read.
    void stop_ticks() { ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0), 0); }

    long ticks() const
    {
        long count = 0;
        for (const Event &e : events)
            count += e.event == EVENT_TIMER_TICK;
        return count;
    }

    stelmo::engine::TimerCounts counts() const
    {
        stelmo::engine::TimerCounts c;
        EXPECT_TRUE(stelmo::engine::timer_counts(handle, TIMER, c));
        return c;
    }

    QPushButton *button(int control) const
    {
        return qobject_cast<QPushButton *>(stelmo::engine::control_widget(handle, control));
    }

    int handle = -1;
};

// --- timer control --------------------------------------------------------

TEST_F(EngineRunTest, TimerTicksAtItsIntervalWhileOn)
{
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return counts().ticks >= 20; }));
    stop_ticks();

    for (const Event &e : events) {
        EXPECT_EQ(e.panel, handle);
        EXPECT_EQ(e.control, TIMER);
        EXPECT_EQ(e.event, EVENT_TIMER_TICK);
    }
    // The file's interval is the tick thread's period (its schedule is
    // tick_thread_test's), and every tick it made reached the callback.
    const auto c = counts();
    EXPECT_DOUBLE_EQ(c.interval_ms, 10.0);
    EXPECT_EQ(c.ticks, ticks());
    EXPECT_FALSE(c.enabled);
}

TEST_F(EngineRunTest, NoTicksWhileOffAndNoneOwedAfterSwitchingOff)
{
    EXPECT_EQ(run_for(120), 0);
    EXPECT_EQ(ticks(), 0); // loaded switched off

    // Switched off from inside the fifth tick: nothing more comes, not even
    // an expiry that was already due.
    on_event = [this](const Event &e) {
        if (e.event == EVENT_TIMER_TICK && ticks() == 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25)); // let expiries pile up
            SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0);
        }
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return !counts().enabled; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // room for a late tick to show
    stop_ticks();
    EXPECT_EQ(ticks(), 5);
}

TEST_F(EngineRunTest, SwitchedOffTimerWakesNothing)
{
    // A timer that ran is switched off, as is every other of the process:
    // no tick thread wakes up any more.
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return counts().ticks >= 2; }));
    stop_ticks();
    const long switches = settled_tick_thread_switches();
    ASSERT_GT(switches, 0); // this panel's timer, at least
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(settled_tick_thread_switches(), switches);
}

TEST_F(EngineRunTest, SwitchingOnAgainKeepsTheRunningPeriod)
{
    // A 10 ms timer switched on again every 4 ms: were each call to restart
    // the period, the timer would never expire.
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    QTimer again;
    QObject::connect(&again, &QTimer::timeout,
                     [this] { SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1); });
    again.start(4);
    EXPECT_TRUE(run_until([this] { return counts().ticks >= 10; }));
    again.stop();
    stop_ticks();
}

TEST_F(EngineRunTest, HeldUpTimerGetsOneTickNotABurst)
{
    long missed_after_hold = -1; // the tick thread's count as the tick after the hold-up began
    on_event = [&](const Event &e) {
        if (e.event == EVENT_TIMER_TICK && ticks() == 2)
            missed_after_hold = counts().missed;
        if (e.event == EVENT_TIMER_TICK && ticks() == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(120)); // twelve periods
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return counts().ticks >= 4; }));
    stop_ticks();

    // The periods lost in the hold-up are counted as missed as the next tick
    // comes, not handed over afterwards as extra ticks (a busy machine may
    // make the thread miss more later; the spacing of the ticks that follow
    // is tick_thread_test's).
    const auto c = counts();
    EXPECT_EQ(c.ticks, ticks());
    EXPECT_GE(missed_after_hold, 10);
}

TEST_F(EngineRunTest, CallbacksNeverNest)
{
    // A button callback that pumps events (as a careless callback might):
    // ticks wait for it to end, a click arriving meanwhile runs after it.
    int depth = 0;
    int deepest = 0;
    bool pumped = false;
    std::atomic<int> clicks{0};
    std::vector<int> order; // controls, in the order their callbacks ran
    on_event = [&](const Event &e) {
        ++depth;
        deepest = std::max(deepest, depth);
        order.push_back(e.control);
        if (e.control == START && !pumped) {
            pumped = true;
            button(START)->click();
            const auto until = Clock::now() + std::chrono::milliseconds(60);
            while (Clock::now() < until)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        clicks += e.control == START;
        --depth;
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return counts().ticks >= 1; }));
    QTimer::singleShot(0, button(START), [this] { button(START)->click(); });
    EXPECT_TRUE(run_until([&] { return clicks == 2; }));
    stop_ticks();

    EXPECT_EQ(deepest, 1);
    EXPECT_GE(counts().missed, 3); // the ticks held up by the pumping callback
    // The second click ran once, after the first one's callback.
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i] == START)
            at.push_back(i);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_GT(at[0], 0u); // a tick came first
}

TEST_F(EngineRunTest, TickAndButtonCallbacksNeverOverlap)
{
    // A 0.1 ms timer against a button clicked as fast as the loop allows,
    // for a second. Both callbacks flag their entry and exit; ticks use the
    // services a step uses, and are refused those that touch windows.
    TempDir dir;
    const std::string fast =
        "   <property name=\"stelmoInterval\" stdset=\"0\"><double>0.1</double></property>\n"
        "   <property name=\"stelmoTimerEnabled\" stdset=\"0\"><bool>false</bool></property>\n";
    const std::string items =
        "   <item><property name=\"text\"><string>a</string></property></item>\n"
        "   <item><property name=\"text\"><string>b</string></property></item>\n";
    const std::string document = panel_document(
        widget("QWidget", "tick", 9, "engine_test_tick", 0, fast) +
        widget("QPushButton", "b", 2, "engine_test_click") +
        widget("QComboBox", "c", 6, "", 0, items) + widget("QDoubleSpinBox", "d", 5));
    const int stress = LoadPanel(0, dir.write("stress.ui", document).c_str(), 1);
    ASSERT_GE(stress, 1);
    auto *selector = qobject_cast<QComboBox *>(stelmo::engine::control_widget(stress, 6));
    auto *clicked = qobject_cast<QPushButton *>(stelmo::engine::control_widget(stress, 2));

    std::atomic<bool> inside{false};
    long overlaps = 0, tick_calls = 0, clicks = 0, refusals = 0, bad_index = 0;
    const auto loop_thread = std::this_thread::get_id();
    bool ticked_on_loop_thread = false;
    on_event = [&](const Event &e) {
        if (inside.exchange(true))
            ++overlaps;
        if (e.event == EVENT_TIMER_TICK) {
            ++tick_calls;
            ticked_on_loop_thread |= std::this_thread::get_id() == loop_thread;
            int index = -1;
            refusals += GetCtrlIndex(stress, 6, &index) != 0;
            bad_index += index != 0 && index != 1;
            refusals += SetCtrlVal(stress, 5, static_cast<double>(tick_calls % 90)) != 0;
            if (tick_calls == 1) {
                StderrCapture quiet;
                refusals += DisplayPanel(stress) != ERR_NO_ENGINE;
            }
        } else {
            ++clicks;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20)); // room for an overlap to show
        inside = false;
    };
    // For a second at least, and until both have come a hundred times.
    ASSERT_EQ(SetCtrlAttribute(stress, 9, ATTR_TIMER_ENABLED, 1), 0);
    const auto second = Clock::now() + std::chrono::seconds(1);
    stelmo::engine::TimerCounts c;
    const auto enough = [&] {
        return stelmo::engine::timer_counts(stress, 9, c) && c.ticks >= 100 && clicks >= 100 &&
               Clock::now() > second;
    };
    for (int i = 0; !enough() && Clock::now() < second + std::chrono::seconds(20); ++i) {
        clicked->click();
        selector->setCurrentIndex(i % 2);
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(SetCtrlAttribute(stress, 9, ATTR_TIMER_ENABLED, 0), 0);
    on_event = nullptr;

    EXPECT_EQ(overlaps, 0);
    EXPECT_GE(tick_calls, 100);
    EXPECT_GE(clicks, 100);
    EXPECT_FALSE(ticked_on_loop_thread);
    EXPECT_EQ(refusals, 0);
    EXPECT_EQ(bad_index, 0);
    EXPECT_TRUE(stelmo::engine::discard_panel(stress));
}

// --- event loop and quitting ----------------------------------------------

TEST_F(EngineRunTest, QuitFromACallbackReturnsItsCodeAfterTheCallback)
{
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    bool quit_seen = false;
    long ticks_after_quit = 0;
    on_event = [&](const Event &e) {
        if (e.control == QUIT)
            quit_seen = true; // engine_test_quit records after QuitUserInterface(7)
        else if (quit_seen)
            ++ticks_after_quit;
    };
    QTimer click;
    click.setSingleShot(true);
    QObject::connect(&click, &QTimer::timeout, [this] { button(QUIT)->click(); });
    click.start(50);
    const Deadline deadline(20000);
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_TRUE(quit_seen);
    EXPECT_EQ(ticks_after_quit, 0);

    // The request is used up: the next run goes on until asked again.
    EXPECT_EQ(run_for(30), 0);
}

TEST_F(EngineRunTest, QuitBeforeTheLoopMakesTheNextRunReturnAtOnce)
{
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    int on = -1;
    EXPECT_EQ(GetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, &on), 0);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(QuitUserInterface(3), 0);
    // Quitting switched the timer off, as the program sees it too.
    EXPECT_EQ(GetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, &on), 0);
    EXPECT_EQ(on, 0);
    const long ticked = counts().ticks;
    const Deadline deadline(20000);
    EXPECT_EQ(RunUserInterface(), 3);
    EXPECT_EQ(counts().ticks, ticked);
}

TEST_F(EngineRunTest, ClosingTheWindowEndsTheLoopLikeQuitZero)
{
    ASSERT_EQ(DisplayPanel(handle), 0);
    QWidget *root = stelmo::engine::panel_widget(handle);
    ASSERT_TRUE(root->isVisible());
    QTimer close;
    close.setSingleShot(true);
    QObject::connect(&close, &QTimer::timeout, [root] { root->close(); });
    close.start(30);
    const Deadline deadline(20000);
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_FALSE(root->isVisible());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
}

TEST_F(EngineRunTest, RunningTheLoopTwiceAtOnceIsRefused)
{
    int nested = 1;
    QTimer inner;
    inner.setSingleShot(true);
    QObject::connect(&inner, &QTimer::timeout, [&] {
        StderrCapture quiet;
        nested = RunUserInterface();
        QuitUserInterface(4);
    });
    inner.start(10);
    const Deadline deadline(20000);
    EXPECT_EQ(RunUserInterface(), 4);
    EXPECT_EQ(nested, ERR_LOOP_RUNNING);
}

TEST_F(EngineRunTest, ButtonsAndSelectorsRaiseCommitEvents)
{
    button(4)->click(); // no callback named: raises nothing
    button(START)->click();
    auto *direction = qobject_cast<QComboBox *>(stelmo::engine::control_widget(handle, DIRECTION));
    ASSERT_NE(direction, nullptr);
    direction->activated(2); // what the operator's choice emits
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].control, START);
    EXPECT_EQ(events[0].event, EVENT_COMMIT);
    EXPECT_EQ(events[1].control, DIRECTION);
    EXPECT_EQ(events[1].event, EVENT_COMMIT);
    EXPECT_EQ(events[1].panel, handle);
}

// --- controls -------------------------------------------------------------

TEST_F(EngineRunTest, SelectorIndexFollowsTheWidget)
{
    int index = -1;
    ASSERT_EQ(GetCtrlIndex(handle, DIRECTION, &index), 0);
    EXPECT_EQ(index, 1); // as the file sets it
    qobject_cast<QComboBox *>(stelmo::engine::control_widget(handle, DIRECTION))
        ->setCurrentIndex(2);
    ASSERT_EQ(GetCtrlIndex(handle, DIRECTION, &index), 0);
    EXPECT_EQ(index, 2);
    ASSERT_EQ(GetCtrlIndex(handle, PORT, &index), 0);
    EXPECT_EQ(index, 0);
}

TEST_F(EngineRunTest, DisplayShowsValuesWithinItsRange)
{
    auto *spin = qobject_cast<QDoubleSpinBox *>(stelmo::engine::control_widget(handle, POSITION));
    auto *lcd = qobject_cast<QLCDNumber *>(stelmo::engine::control_widget(handle, COUNTER));
    ASSERT_NE(spin, nullptr);
    ASSERT_NE(lcd, nullptr);

    EXPECT_EQ(SetCtrlVal(handle, POSITION, 157.0), 0);
    EXPECT_DOUBLE_EQ(spin->value(), 157.0);
    EXPECT_EQ(SetCtrlVal(handle, POSITION, 3.14159), 0);
    EXPECT_DOUBLE_EQ(spin->value(), 3.14); // the file's two decimals
    EXPECT_EQ(spin->decimals(), 2);
    EXPECT_DOUBLE_EQ(spin->maximum(), 340.0);
    EXPECT_EQ(SetCtrlVal(handle, COUNTER, 12.5), 0);
    EXPECT_DOUBLE_EQ(lcd->value(), 12.5);

    // Refused values leave the display as it was. The first refusal is said
    // with the range; the others are repeats of its kind.
    StderrCapture capture;
    EXPECT_EQ(SetCtrlVal(handle, POSITION, 340.5), ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlVal(handle, POSITION, std::nan("")), ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlVal(handle, POSITION, -0.01), ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlVal(handle, POSITION, std::numeric_limits<double>::infinity()),
              ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlVal(handle, COUNTER, 123456.0), ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlVal(handle, COUNTER, -std::numeric_limits<double>::infinity()),
              ERR_BAD_ARGUMENT);
    EXPECT_DOUBLE_EQ(spin->value(), 3.14);
    EXPECT_DOUBLE_EQ(lcd->value(), 12.5);
    const std::string said = capture.text();
    EXPECT_NE(said.find("its range is 0 to 340"), std::string::npos) << said;

    // The engine decides without the widget (ticks may not touch it), and
    // decides as the widget would.
    for (double value : {9999.0, 10000.0, -999.0, -1000.0, 0.001, 1e-5, 123.45, 1e10, -1e-10,
                         99999.5, 1e100, -1e100, 0.1234567}) {
        StderrCapture quiet;
        EXPECT_EQ(SetCtrlVal(handle, COUNTER, value) == 0, !lcd->checkOverflow(value)) << value;
    }
}

TEST_F(EngineRunTest, ValuesSetDuringTicksReachTheDisplayOncePerFrame)
{
    auto *spin = qobject_cast<QDoubleSpinBox *>(stelmo::engine::control_widget(handle, POSITION));
    ASSERT_NE(spin, nullptr);
    ASSERT_EQ(SetCtrlVal(handle, POSITION, 0.0), 0);

    // Each tick sets a new value; the widget changes only on the event-loop
    // thread, never on the tick's, and only in a frame: values set while
    // the loop does not run are shown together, as the last of them.
    int value_changes = 0;
    bool changed_elsewhere = false;
    const auto loop_thread = std::this_thread::get_id();
    QObject::connect(spin, &QDoubleSpinBox::valueChanged, spin, [&] {
        ++value_changes;
        changed_elsewhere |= std::this_thread::get_id() != loop_thread;
    });
    double last = 0;
    on_event = [&](const Event &e) {
        if (e.event == EVENT_TIMER_TICK && last < 300) {
            last += 1.5;
            EXPECT_EQ(SetCtrlVal(handle, POSITION, last), 0);
        }
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return counts().ticks >= 5; }));
    stop_ticks();
    on_event = nullptr;
    EXPECT_EQ(value_changes, 0);
    EXPECT_TRUE(run_until([&] { return spin->value() == last; }));
    EXPECT_FALSE(changed_elsewhere);
    EXPECT_EQ(value_changes, 1);

    // Outside a tick the display shows the value at once, even when a value
    // from a tick is still waiting for its frame.
    on_event = [&](const Event &e) {
        if (e.event == EVENT_TIMER_TICK)
            SetCtrlVal(handle, POSITION, 200.0);
    };
    const long ticks_before = counts().ticks;
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([&] { return counts().ticks > ticks_before; }));
    stop_ticks();
    on_event = nullptr;
    EXPECT_EQ(SetCtrlVal(handle, POSITION, 17.0), 0);
    EXPECT_DOUBLE_EQ(spin->value(), 17.0);
    run_for(100);
    EXPECT_DOUBLE_EQ(spin->value(), 17.0); // the older tick value does not come back
}

// --- what the operator and a screen reader see ------------------------------

// The texts of `object` and everything below it, through Qt's accessibility
// support: what a screen reader can read.
std::vector<std::string> accessible_texts(QObject *object, QAccessible::Text which)
{
    std::vector<std::string> texts;
    std::vector<QAccessibleInterface *> open{QAccessible::queryAccessibleInterface(object)};
    while (!open.empty()) {
        QAccessibleInterface *item = open.back();
        open.pop_back();
        if (!item)
            continue;
        texts.push_back(item->text(which).toStdString());
        for (int i = 0; i < item->childCount(); ++i)
            open.push_back(item->child(i));
    }
    return texts;
}

bool has(const std::vector<std::string> &texts, const std::string &text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string joined(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &text : texts)
        all += "[" + text + "] ";
    return all;
}

// --- the engine's own stops ---------------------------------------------------

// Esc stops the motor in any window although this panel binds it to no
// button: every timer is off at once.
TEST_F(EngineRunTest, EscStopsEveryTimerWhateverThePanelBinds)
{
    ASSERT_EQ(DisplayPanel(handle), 0);
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(button(START), &escape);
    const long ticks_then = counts().ticks;
    EXPECT_FALSE(counts().enabled);
    run_for(100);
    EXPECT_EQ(counts().ticks, ticks_then);
}

// The watchdog's clock, moved by the test: one hour in, standing still.
std::atomic<long long> watchdog_ns{3'600'000'000'000};
Clock::time_point watchdog_now()
{
    return Clock::time_point(std::chrono::nanoseconds(watchdog_ns.load()));
}

// The window stops turning its loop, for longer than the watchdog allows on
// its clock, while the timer runs: the next tick switches every timer off
// instead of reaching the program, the fault log and then the strip say why,
// and the timer stays off once the window answers again, until Start.
TEST_F(EngineRunTest, WindowThatDoesNotAnswerStopsTheTimersUntilStart)
{
    using stelmo::engine::WINDOW_SILENCE_MAX;
    stelmo::engine::set_watchdog_clock(&watchdog_now);
    ASSERT_EQ(DisplayPanel(handle), 0);
    StderrCapture capture;
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    bool stopped = false;
    QTimer::singleShot(50, [&] { // the loop held up here, as by a stopped X server
        watchdog_ns += std::chrono::nanoseconds(WINDOW_SILENCE_MAX).count() + 100'000'000;
        for (const auto guard = Clock::now() + std::chrono::seconds(10);
             counts().enabled && Clock::now() < guard;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopped = !counts().enabled;
    });
    run_for(150);
    const long ticks_then = counts().ticks;
    run_for(200); // the window answers again
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(counts().enabled);
    EXPECT_EQ(counts().ticks, ticks_then);
    EXPECT_NE(capture.text().find("stelmo: the panel window did not answer for 0.6 s"),
              std::string::npos)
        << capture.text();
    QWidget *strip = stelmo::engine::panel_widget(handle)->findChild<QWidget *>("statusStrip");
    const auto said = accessible_texts(strip, QAccessible::Name);
    EXPECT_TRUE(has(said, "Stopped: the window did not answer")) << joined(said);

    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0); // Start
    EXPECT_TRUE(run_until([&] { return counts().ticks > ticks_then; }));
}

TEST_F(EngineRunTest, CallsThatNameNothingChangeNothing)
{
    StderrCapture capture;
    int index = 42;
    EXPECT_EQ(GetCtrlIndex(handle + 1000, PORT, &index), ERR_BAD_HANDLE);
    EXPECT_EQ(GetCtrlIndex(handle, 99, &index), ERR_BAD_CONTROL_ID);
    EXPECT_EQ(GetCtrlIndex(handle, POSITION, &index), ERR_BAD_CONTROL_ID); // not a selector
    EXPECT_EQ(GetCtrlIndex(handle, PORT, nullptr), ERR_BAD_ARGUMENT);
    EXPECT_EQ(index, 42);

    auto *spin = qobject_cast<QDoubleSpinBox *>(stelmo::engine::control_widget(handle, POSITION));
    spin->setValue(12.0);
    EXPECT_EQ(SetCtrlVal(-1, POSITION, 5.0), ERR_BAD_HANDLE);
    EXPECT_EQ(SetCtrlVal(handle, PORT, 5.0), ERR_BAD_CONTROL_ID);
    EXPECT_EQ(SetCtrlVal(handle, 0, 5.0), ERR_BAD_CONTROL_ID);
    EXPECT_DOUBLE_EQ(spin->value(), 12.0);

    EXPECT_EQ(SetCtrlAttribute(0, TIMER, ATTR_TIMER_ENABLED, 1), ERR_BAD_HANDLE);
    EXPECT_EQ(SetCtrlAttribute(handle, START, ATTR_TIMER_ENABLED, 1), ERR_BAD_CONTROL_ID);
    EXPECT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED + 1, 1), ERR_BAD_ARGUMENT);
    EXPECT_FALSE(counts().enabled);
    int on = 42;
    EXPECT_EQ(GetCtrlAttribute(0, TIMER, ATTR_TIMER_ENABLED, &on), ERR_BAD_HANDLE);
    EXPECT_EQ(GetCtrlAttribute(handle, START, ATTR_TIMER_ENABLED, &on), ERR_BAD_CONTROL_ID);
    EXPECT_EQ(GetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED + 1, &on), ERR_BAD_ARGUMENT);
    EXPECT_EQ(GetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, nullptr), ERR_BAD_ARGUMENT);
    EXPECT_EQ(on, 42);

    EXPECT_EQ(DisplayPanel(handle + 1000), ERR_BAD_HANDLE);
    EXPECT_EQ(run_for(50), 0);
    EXPECT_TRUE(events.empty());

    // Each fault is reported on its own line.
    const auto lines = lines_of(capture.text());
    EXPECT_GE(lines.size(), 5u);
    for (const auto &line : lines)
        EXPECT_EQ(line.rfind("stelmo: ", 0), 0u) << line;
}

TEST_F(EngineRunTest, FaultRepeatedOnEveryTickIsSaidOnce)
{
    // Every tick sets a value the display cannot show, a new one each time:
    // one line for the kind however many ticks, a summary line at most, and
    // a fault of another kind still gets its own line.
    StderrCapture capture;
    long refused = 0;
    on_event = [&](const Event &e) {
        if (e.event == EVENT_TIMER_TICK)
            refused += SetCtrlVal(handle, POSITION, 1000.0 + static_cast<double>(ticks())) ==
                       ERR_BAD_ARGUMENT;
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    ASSERT_TRUE(wait_until([this] { return counts().ticks >= 10; }));
    stop_ticks();
    on_event = nullptr;
    int index = 0;
    EXPECT_EQ(GetCtrlIndex(handle, 77, &index), ERR_BAD_CONTROL_ID);

    EXPECT_GE(refused, 10);
    int first = 0, summaries = 0, other = 0;
    const auto lines = lines_of(capture.text());
    for (const std::string &line : lines) {
        first += line.find("cannot show 10") != std::string::npos;
        summaries += line.find("repeated") != std::string::npos;
        other += line.find("GetCtrlIndex: panel " + std::to_string(handle) +
                           " has no selector with id 77") != std::string::npos;
    }
    EXPECT_EQ(first, 1) << capture.text();
    EXPECT_LE(summaries, 1);
    EXPECT_EQ(other, 1) << capture.text();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(first + summaries + other));
}

TEST_F(EngineRunTest, ServicesFromAnotherThreadAreRefused)
{
    int index = 42;
    int code = 0;
    StderrCapture quiet;
    std::thread other([&] { code = GetCtrlIndex(handle, PORT, &index); });
    other.join();
    EXPECT_EQ(code, ERR_NO_ENGINE);
    EXPECT_EQ(index, 42);
}

} // namespace
