// The running engine: timer ticks switched on and off, the event loop and
// quitting it, reading selectors, showing values, and calls that name
// nothing. Runs the real event loop offscreen.
#include "engine_support.h"

#include "runtime/engine/engine.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/services.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLCDNumber>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

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

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The process's timerfds: how many there are, and how many are armed (the
// kernel shows a remaining time other than zero).
struct TimerFds {
    int total = 0;
    int armed = 0;
};

TimerFds timer_fds()
{
    TimerFds fds;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target.string() != "anon_inode:[timerfd]")
            continue;
        ++fds.total;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("it_value:", 0) == 0 && line.find("(0, 0)") == std::string::npos)
                ++fds.armed;
        }
    }
    return fds;
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
    const auto start = Clock::now();
    EXPECT_EQ(run_for(500), 0);
    const double elapsed = ms_since(start);
    SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0);

    for (const Event &e : events) {
        EXPECT_EQ(e.panel, handle);
        EXPECT_EQ(e.control, TIMER);
        EXPECT_EQ(e.event, EVENT_TIMER_TICK);
    }
    // Every period that passed is either a tick or counted as missed; the
    // kernel keeps the period, so the sum follows the clock closely.
    const auto c = counts();
    EXPECT_EQ(c.ticks, ticks());
    const double periods = elapsed / 10.0;
    EXPECT_LE(c.ticks + c.missed, periods + 1);
    EXPECT_GE(c.ticks + c.missed, periods - 3);
    // On a loop that is not held up, most periods are ticks.
    EXPECT_GE(c.ticks, static_cast<long>(periods * 0.5));
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
    run_for(250);
    EXPECT_EQ(ticks(), 5);
    EXPECT_FALSE(counts().enabled);
}

TEST_F(EngineRunTest, SwitchedOffTimerWakesNothing)
{
    const TimerFds before = timer_fds();
    ASSERT_GE(before.total, 1); // this panel's timer, at least
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    EXPECT_EQ(timer_fds().armed, before.armed + 1);
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0), 0);
    EXPECT_EQ(timer_fds().armed, before.armed);
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
    run_for(300);
    again.stop();
    EXPECT_GE(ticks(), 10);
}

TEST_F(EngineRunTest, HeldUpLoopGetsOneTickNotABurst)
{
    on_event = [&](const Event &e) {
        if (e.event == EVENT_TIMER_TICK && ticks() == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(120)); // twelve periods
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    const auto start = Clock::now();
    run_for(300);
    SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0);
    const double periods = ms_since(start) / 10.0;

    // The periods lost in the hold-up are counted as missed, not handed over
    // afterwards: a burst would show as ticks, and the ticks and missed
    // periods together would then outnumber the periods that passed.
    const auto c = counts();
    EXPECT_EQ(c.ticks, ticks());
    EXPECT_GE(c.missed, 10);
    EXPECT_LE(c.ticks + c.missed, periods + 1);
    EXPECT_GE(c.ticks, 3); // and ticking went on after the hold-up
}

TEST_F(EngineRunTest, CallbacksNeverNest)
{
    // A tick callback that pumps events (as a careless callback might):
    // ticks arriving meanwhile are dropped, a click is kept for afterwards.
    int depth = 0;
    int deepest = 0;
    bool pumped = false;
    std::vector<int> order; // controls, in the order their callbacks ran
    on_event = [&](const Event &e) {
        ++depth;
        deepest = std::max(deepest, depth);
        order.push_back(e.control);
        if (e.event == EVENT_TIMER_TICK && !pumped) {
            pumped = true;
            button(START)->click();
            const auto until = Clock::now() + std::chrono::milliseconds(60);
            while (Clock::now() < until)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        --depth;
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    run_for(150);
    SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0);

    EXPECT_EQ(deepest, 1);
    EXPECT_GE(counts().missed, 3); // the ticks that fell into the pumping
    // The click ran exactly once, after the tick that was running.
    int clicks = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] == START) {
            ++clicks;
            EXPECT_GT(i, 0u);
        }
    }
    EXPECT_EQ(clicks, 1);
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
    const Deadline deadline(2000);
    const auto start = Clock::now();
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_LT(ms_since(start), 1000.0);
    EXPECT_TRUE(quit_seen);
    EXPECT_EQ(ticks_after_quit, 0);

    // The request is used up: the next run goes on until asked again.
    EXPECT_EQ(run_for(30), 0);
}

TEST_F(EngineRunTest, QuitBeforeTheLoopMakesTheNextRunReturnAtOnce)
{
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    EXPECT_EQ(QuitUserInterface(3), 0);
    const Deadline deadline(1000);
    const auto start = Clock::now();
    EXPECT_EQ(RunUserInterface(), 3);
    EXPECT_LT(ms_since(start), 500.0); // the deadline would end it at 1000
    EXPECT_EQ(ticks(), 0);
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
    const Deadline deadline(2000);
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
    const Deadline deadline(2000);
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

    // Refused values leave the display as it was.
    StderrCapture capture;
    EXPECT_EQ(SetCtrlVal(handle, POSITION, std::nan("")), ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlVal(handle, POSITION, 340.5), ERR_BAD_ARGUMENT);
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
}

TEST_F(EngineRunTest, ValuesSetDuringTicksReachTheDisplayOncePerFrame)
{
    auto *spin = qobject_cast<QDoubleSpinBox *>(stelmo::engine::control_widget(handle, POSITION));
    ASSERT_NE(spin, nullptr);
    ASSERT_EQ(SetCtrlVal(handle, POSITION, 0.0), 0);

    // Each tick sets a new value; the widget never changes inside a tick.
    int value_changes = 0;
    QObject::connect(spin, &QDoubleSpinBox::valueChanged, spin, [&] { ++value_changes; });
    double last = 0;
    bool changed_inside_tick = false;
    on_event = [&](const Event &e) {
        if (e.event != EVENT_TIMER_TICK || last >= 300)
            return;
        const double before = spin->value();
        last += 1.5;
        EXPECT_EQ(SetCtrlVal(handle, POSITION, last), 0);
        changed_inside_tick |= spin->value() != before;
    };
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    run_for(600);
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0), 0);
    on_event = nullptr;
    run_for(100); // the frame after the last tick

    EXPECT_FALSE(changed_inside_tick);
    EXPECT_GE(ticks(), 20);
    EXPECT_DOUBLE_EQ(spin->value(), last); // the last value is the one shown
    // Ticks come every 10 ms, frames about every 16 ms: fewer widget updates
    // than ticks, but the display kept moving.
    EXPECT_LT(value_changes, ticks());
    EXPECT_GE(value_changes, 5);

    // Outside a tick the display shows the value at once, even when a value
    // from a tick is still waiting for its frame.
    on_event = [&](const Event &e) {
        if (e.event == EVENT_TIMER_TICK)
            SetCtrlVal(handle, POSITION, 200.0);
    };
    const long ticks_before = ticks();
    ASSERT_EQ(SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 1), 0);
    for (int wait = 0; wait < 100 && ticks() == ticks_before; ++wait)
        run_for(1);
    ASSERT_GT(ticks(), ticks_before);
    SetCtrlAttribute(handle, TIMER, ATTR_TIMER_ENABLED, 0);
    on_event = nullptr;
    EXPECT_EQ(SetCtrlVal(handle, POSITION, 17.0), 0);
    EXPECT_DOUBLE_EQ(spin->value(), 17.0);
    run_for(100);
    EXPECT_DOUBLE_EQ(spin->value(), 17.0); // the older tick value does not come back
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

    EXPECT_EQ(DisplayPanel(handle + 1000), ERR_BAD_HANDLE);
    EXPECT_EQ(run_for(50), 0);
    EXPECT_TRUE(events.empty());

    // Each fault is reported on its own line.
    const auto lines = lines_of(capture.text());
    EXPECT_GE(lines.size(), 5u);
    for (const auto &line : lines)
        EXPECT_EQ(line.rfind("stelmo: ", 0), 0u) << line;
}

TEST_F(EngineRunTest, RepeatedFaultIsReportedOnce)
{
    StderrCapture capture;
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(SetCtrlVal(handle, 77, 1.0), ERR_BAD_CONTROL_ID);
    EXPECT_EQ(lines_of(capture.text()).size(), 1u);
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
