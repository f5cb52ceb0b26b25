// The engine driving the program: the timer control's ticks against the
// simulated rig, the engine's tick dispatch, the program's start-up time and
// the program stepping on its own (for its CPU share). bench/run starts each
// mode in a process of its own:
//
//   engine_bench ticks <interval ms> <seconds> [<name>]  the timer control
//   engine_bench bare <interval ms> <seconds> [<slack>]  clock_nanosleep alone
//   engine_bench dispatch [Google Benchmark options]     the tick dispatch
//   engine_bench launch <runs>                           start-up time
//   engine_bench startup                                 one start (for launch)
//   engine_bench program <seconds>                       the program, stepping
//
// ticks, dispatch and startup run offscreen; program runs wherever
// QT_QPA_PLATFORM and DISPLAY say. Figures go to stdout as "result
// <key>=<value>" lines (bench_support.h); <name> replaces the "engine_<n>ms"
// that the ticks figures are named with; <slack> sets the bare loop's timer
// slack in ns (PR_SET_TIMERSLACK) instead of the process default.
// The program's own main is linked in as stelmo_main, so the operator panel
// binds the program's real callbacks.
#include "bench/alloc_count.h"
#include "bench/bench_support.h"

#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/engine/engine.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/engine/internal.h"
#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// panel/stelmo.cpp's main, renamed for this executable.
int stelmo_main(int argc, char *argv[]);

extern "C" {
// The timer callback of the bench panel: stamps the tick, then runs timer().
int bench_tick(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2);
}

namespace {

using bench::now_ns;
using bench::result;

// Controls of the operator panel (stelmo.uir) that the program's header does
// not name, because only the operator uses them.
constexpr int START_BUTTON = 2;
constexpr int QUIT_BUTTON = 4;
constexpr int DIRECTION_HOME = 0; // entries of the direction selector
constexpr int DIRECTION_FAR = 1;

// What bench_tick records.
struct Recording {
    std::vector<std::int64_t> stamps; // tick times while `on`, preallocated
    std::size_t count = 0;
    bool on = false;
    long timer_allocations = 0;    // counted inside timer() itself
    long steering_allocations = 0; // counted in keep_moving (the bench's own)
    QComboBox *direction = nullptr;
};
Recording recording;

QComboBox *direction_selector()
{
    return qobject_cast<QComboBox *>(stelmo::engine::control_widget(panelHandle, PANEL_RICHT));
}

// Reverses the direction at either end of the travel, as an operator would,
// so the carriage keeps stepping for the whole run.
void keep_moving()
{
    const stelmo::ports::SimRig *rig = stelmo::engine::simulated_rig();
    if (!rig || !recording.direction || stp == 0)
        return;
    if (rig->state().far_closed && richt == 1)
        recording.direction->setCurrentIndex(DIRECTION_HOME);
    else if (rig->state().home_closed && richt != 1)
        recording.direction->setCurrentIndex(DIRECTION_FAR);
}

bool fail(const std::string &what)
{
    std::fprintf(stderr, "engine_bench: %s\n", what.c_str());
    return false;
}

// The process's timer slack, for the record (the kernel may delay a
// sleeper's wake-up by up to this much to group wake-ups).
double timer_slack_ns()
{
    std::ifstream file("/proc/self/timerslack_ns");
    double ns = -1;
    file >> ns;
    return ns;
}

// Starts the engine offscreen on the simulated rig, without a port trace.
bool start_offscreen(char *argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("STELMO_IO", "sim", 1);
    ::unsetenv("STELMO_TRACE");
    return InitRuntimeEx(0, argv, 0) == 1 || fail("the engine did not start");
}

// Loads the operator panel of stelmo.uir (the copy next to the executables)
// with its timer control calling bench_tick every `interval_ms`, and the
// ticks off. The handle, or -1 after a line on stderr.
int load_bench_panel(int interval_ms)
{
    const std::string exe_dir = QCoreApplication::applicationDirPath().toStdString();
    const std::string source = stelmo::engine::find_panel_file("stelmo.uir", exe_dir, ".");
    std::ifstream in(source);
    std::stringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str();
    if (source.empty() || text.empty())
        return fail("stelmo.uir not found next to " + exe_dir), -1;

    if (!bench::retime_panel(text, "bench_tick", interval_ms))
        return fail(source + ": not the one timer control the bench expects"), -1;

    char dir[] = "/tmp/stelmo_bench_XXXXXX";
    if (!::mkdtemp(dir))
        return fail(std::string("cannot make a scratch directory: ") + std::strerror(errno)), -1;
    const std::string path = std::string(dir) + "/bench.uir";
    std::ofstream(path) << text;
    const int handle = LoadPanel(0, path.c_str(), PANEL);
    std::remove(path.c_str());
    ::rmdir(dir);
    if (handle < 0)
        return fail("the bench panel did not load"), -1;
    return handle;
}

// Runs the event loop for `ms` milliseconds.
void run_loop_for(int ms)
{
    QTimer stop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, [] { QuitUserInterface(0); });
    stop.start(ms);
    RunUserInterface();
}

// Brings the operator panel up as the program does, with the bench's timer
// callback, the carriage set to go towards the far end once homed, and the
// first port chosen (where the simulated rig sits).
bool bring_up(char *argv[], int interval_ms)
{
    if (!start_offscreen(argv))
        return false;
    panelHandle = load_bench_panel(interval_ms);
    if (panelHandle < 0)
        return false;
    DisplayPanel(panelHandle);
    SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 0);
    recording.direction = direction_selector();
    if (!recording.direction)
        return fail("the panel has no direction selector");
    recording.direction->setCurrentIndex(DIRECTION_FAR);
    adresse = 0;
    run_loop_for(500); // the windows come up and paint before anything is measured
    return true;
}

bool positive(const char *text, double &value)
{
    char *end = nullptr;
    value = text ? std::strtod(text, &end) : 0;
    return text && end != text && *end == '\0' && value > 0;
}

// --- the timer control -----------------------------------------------------

int run_ticks(int argc, char *argv[])
{
    double interval = 0;
    double seconds = 0;
    if (argc < 4 || argc > 5 || !positive(argv[2], interval) || !positive(argv[3], seconds))
        return fail("usage: engine_bench ticks <interval ms> <seconds> [<name>]"), 2;
    const int interval_ms = static_cast<int>(interval);
    if (!bring_up(argv, interval_ms))
        return 1;

    const std::int64_t period = static_cast<std::int64_t>(interval_ms) * 1000000;
    const auto window = static_cast<std::int64_t>(seconds * 1e9);
    recording.stamps.assign(static_cast<std::size_t>(window / period) + 1000, 0);
    recording.count = 0;
    recording.timer_allocations = 0;

    QTimer end;
    end.setTimerType(Qt::PreciseTimer);
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, [] { QuitUserInterface(0); });

    stelmo::engine::TimerCounts before;
    stelmo::engine::TimerCounts after;
    stelmo::engine::timer_counts(panelHandle, PANEL_TIMER, before);
    const stelmo::ports::SimRig *rig = stelmo::engine::simulated_rig();
    const long steps_before = rig ? rig->state().steps : 0;

    bench::count_allocations(true);
    recording.on = true;
    const std::int64_t start = now_ns();
    SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 1);
    end.start(static_cast<int>(seconds * 1000));
    RunUserInterface();
    const std::int64_t stop = now_ns();
    SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 0);
    recording.on = false;
    const long loop_allocations = bench::allocations();
    bench::count_allocations(false);
    stelmo::engine::timer_counts(panelHandle, PANEL_TIMER, after);

    recording.stamps.resize(recording.count);
    const auto stats =
        bench::interval_stats(recording.stamps, stop - start, period, start + period);
    const std::string prefix = argc == 5 ? argv[4] : "engine_" + std::to_string(interval_ms) + "ms";
    bench::report(prefix, stats);
    bench::keep_ticks(prefix, recording.stamps, start);
    result(prefix + "_nominal", 1000.0 / interval_ms);
    result(prefix + "_missed", static_cast<double>(after.missed - before.missed));
    result(prefix + "_rig_steps", static_cast<double>(rig ? rig->state().steps - steps_before : 0));
    result(prefix + "_alloc_timer", static_cast<double>(recording.timer_allocations));
    result(prefix + "_alloc_loop", static_cast<double>(loop_allocations));
    result(prefix + "_slack_ns", timer_slack_ns());
    return 0;
}

// --- the machine's limit ---------------------------------------------------

int run_bare(int argc, char *argv[])
{
    double interval = 0;
    double seconds = 0;
    double slack = 0;
    if (argc < 4 || argc > 5 || !positive(argv[2], interval) || !positive(argv[3], seconds) ||
        (argc == 5 && !positive(argv[4], slack)))
        return fail("usage: engine_bench bare <interval ms> <seconds> [<timer slack ns>]"), 2;
    if (argc == 5 && ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack)) != 0)
        return fail(std::string("cannot set the timer slack: ") + std::strerror(errno)), 1;
    const int interval_ms = static_cast<int>(interval);
    const std::int64_t period = static_cast<std::int64_t>(interval_ms) * 1000000;
    const auto window = static_cast<std::int64_t>(seconds * 1e9);
    std::vector<std::int64_t> stamps;
    stamps.reserve(static_cast<std::size_t>(window / period) + 1000);

    // Absolute deadlines one period apart. A wake-up later than the next
    // deadline skips the periods that passed, as the engine's timer does
    // (one tick, never a burst).
    long missed = 0;
    const std::int64_t start = now_ns();
    std::int64_t deadline = start + period;
    while (deadline <= start + window) {
        const timespec at{static_cast<time_t>(deadline / 1000000000),
                          static_cast<long>(deadline % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        const std::int64_t woke = now_ns();
        stamps.push_back(woke);
        deadline += period;
        if (woke >= deadline) {
            const std::int64_t skipped = (woke - deadline) / period + 1;
            missed += static_cast<long>(skipped);
            deadline += skipped * period;
        }
    }
    const std::int64_t stop = now_ns();

    std::string prefix = "bare_" + std::to_string(interval_ms) + "ms";
    if (argc == 5)
        prefix += "_slack" + std::to_string(static_cast<long>(slack));
    bench::report(prefix, bench::interval_stats(stamps, stop - start, period, start + period));
    bench::keep_ticks(prefix, stamps, start);
    result(prefix + "_nominal", 1000.0 / interval_ms);
    result(prefix + "_missed", static_cast<double>(missed));
    result(prefix + "_slack_ns", timer_slack_ns());
    return 0;
}

// --- the engine's tick dispatch --------------------------------------------

// A tick as the engine hands it over once the timer expired: the dispatcher
// finds the control and calls its callback, which runs timer() with the
// engine's selector and display and the simulated rig.
void tick_dispatch(benchmark::State &state)
{
    for (auto _ : state)
        stelmo::engine::dispatch(panelHandle, PANEL_TIMER, EVENT_TIMER_TICK);
}
BENCHMARK(tick_dispatch);

void get_ctrl_index(benchmark::State &state)
{
    int index = 0;
    for (auto _ : state) {
        GetCtrlIndex(panelHandle, PANEL_RICHT, &index);
        benchmark::DoNotOptimize(index);
    }
}
BENCHMARK(get_ctrl_index);

// A new value every call, as while the carriage moves.
void set_ctrl_val(benchmark::State &state)
{
    double value = 0;
    for (auto _ : state) {
        value = value >= 338 ? 0 : value + 1.57;
        SetCtrlVal(panelHandle, PANEL_SCHRITTWEITE, value);
    }
}
BENCHMARK(set_ctrl_val);

// Allocations the calling thread makes across `calls` calls of `call`.
template <typename Call> long allocations_across(long calls, Call call)
{
    bench::count_allocations(true);
    for (long i = 0; i < calls; ++i)
        call(i);
    const long counted = bench::allocations();
    bench::count_allocations(false);
    return counted;
}

int run_dispatch(int argc, char *argv[])
{
    if (!bring_up(argv, 10))
        return 1;
    if (!bench::run_benchmarks(argc - 1, argv + 1, "engine_"))
        return 1;
    if (!bench::allocation_counter_works())
        return 1;

    constexpr long CALLS = 100000;
    recording.timer_allocations = 0;
    recording.steering_allocations = 0;
    const long in_dispatch = allocations_across(
        CALLS, [](long) { stelmo::engine::dispatch(panelHandle, PANEL_TIMER, EVENT_TIMER_TICK); });
    const long in_set_ctrl_val = allocations_across(CALLS, [](long i) {
        SetCtrlVal(panelHandle, PANEL_SCHRITTWEITE, static_cast<double>(i % 200) * 1.57);
    });
    int index = 0;
    const long in_get_ctrl_index = allocations_across(
        CALLS, [&index](long) { GetCtrlIndex(panelHandle, PANEL_RICHT, &index); });
    run_loop_for(50); // let the panel repaint what the calls changed

    result("alloc_dispatch_ticks", static_cast<double>(CALLS));
    result("alloc_dispatch", static_cast<double>(in_dispatch));
    result("alloc_dispatch_timer", static_cast<double>(recording.timer_allocations));
    // What the engine's dispatch itself allocated: the whole minus the
    // callback's parts (timer() and the bench's direction reversals).
    result("alloc_dispatch_engine", static_cast<double>(in_dispatch - recording.timer_allocations -
                                                        recording.steering_allocations));
    result("alloc_set_ctrl_val", static_cast<double>(in_set_ctrl_val));
    result("alloc_get_ctrl_index", static_cast<double>(in_get_ctrl_index));
    return 0;
}

// --- start-up time -----------------------------------------------------------

constexpr const char *LAUNCHED = "STELMO_BENCH_LAUNCHED"; // launch time, ns on CLOCK_MONOTONIC

// Notes the first paint of any widget of the operator panel's window, which
// is when the operator first sees the panel, and ends the event loop there.
class FirstPaint : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (painted_at == 0 && event->type() == QEvent::Paint && watched->isWidgetType()) {
            const QWidget *panel = stelmo::engine::panel_widget(panelHandle);
            if (panel && static_cast<QWidget *>(watched)->window() == panel) {
                painted_at = now_ns();
                QuitUserInterface(0);
            }
        }
        return false;
    }
    std::int64_t painted_at = 0;
};

// One start, as the program makes it: InitRuntimeEx, then the program's main
// (which loads and shows the panel and runs the loop) until the panel paints.
int run_startup(int argc, char *argv[])
{
    const std::int64_t entered = now_ns();
    const char *launched_text = std::getenv(LAUNCHED);
    double launched = 0;
    if (!positive(launched_text, launched))
        return fail("startup is run by \"engine_bench launch\""), 2;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("STELMO_IO", "sim", 1);
    ::unsetenv("STELMO_TRACE");

    if (InitRuntimeEx(0, argv, 0) == 0)
        return 1;
    const std::int64_t started = now_ns();
    FirstPaint watch;
    QCoreApplication::instance()->installEventFilter(&watch);
    QTimer give_up;
    give_up.setSingleShot(true);
    QObject::connect(&give_up, &QTimer::timeout, [] { QuitUserInterface(0); });
    give_up.start(10000);
    if (stelmo_main(argc, argv) != 0 || watch.painted_at == 0)
        return fail("the panel was not shown"), 1;

    const auto from = static_cast<std::int64_t>(launched);
    result("ms", static_cast<double>(watch.painted_at - from) / 1e6);
    result("exec_ms", static_cast<double>(entered - from) / 1e6);
    result("init_ms", static_cast<double>(started - entered) / 1e6);
    result("panel_ms", static_cast<double>(watch.painted_at - started) / 1e6);
    return 0;
}

// Starts "engine_bench startup" `runs` times, one after the other, and
// reports the median and the slowest of each figure.
int run_launch(int argc, char *argv[])
{
    double runs_wanted = 0;
    if (argc != 3 || !positive(argv[2], runs_wanted))
        return fail("usage: engine_bench launch <runs>"), 2;
    std::map<std::string, std::vector<double>> figures;
    for (int run = 0; run < static_cast<int>(runs_wanted); ++run) {
        int out[2];
        if (::pipe(out) != 0)
            return fail(std::string("pipe: ") + std::strerror(errno)), 1;
        const std::string launched = std::to_string(now_ns());
        const pid_t child = ::fork();
        if (child < 0)
            return fail(std::string("fork: ") + std::strerror(errno)), 1;
        if (child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::setenv(LAUNCHED, launched.c_str(), 1);
            ::execl("/proc/self/exe", argv[0], "startup", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(out[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        ::close(out[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return fail("start-up run " + std::to_string(run + 1) + " failed"), 1;

        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            const auto eq = line.find('=');
            if (line.rfind("result ", 0) != 0 || eq == std::string::npos)
                continue;
            const std::string key = line.substr(7, eq - 7);
            figures[key].push_back(std::strtod(line.c_str() + eq + 1, nullptr));
            result("startup_run" + std::to_string(run + 1) + "_" + key, figures[key].back());
        }
    }
    for (auto &[key, values] : figures) {
        std::sort(values.begin(), values.end());
        result("startup_" + key + "_median", values[(values.size() - 1) / 2]);
        result("startup_" + key + "_max", values.back());
    }
    result("startup_runs", runs_wanted);
    return 0;
}

// --- the program stepping ----------------------------------------------------

// Operates the panel on a fixed schedule: towards the far end and Start at
// once; once homed (about 120 ticks) and 140 steps out, reversing every 120
// ticks, so the carriage swings between about 20 and 140 steps from home and
// never rests at a switch; Quit at the end. At 100 steps/s that is every
// 1.2 s from 2.6 s on.
class Operator : public QObject {
public:
    explicit Operator(double seconds) : end_(static_cast<std::int64_t>(seconds * 1e9))
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { act(); });
        timer_.start(0);
    }

private:
    static constexpr std::int64_t FIRST_REVERSAL = 2600000000;
    static constexpr std::int64_t REVERSE_EVERY = 1200000000;

    QAbstractButton *button(int id)
    {
        return qobject_cast<QAbstractButton *>(stelmo::engine::control_widget(panelHandle, id));
    }

    void act()
    {
        const std::int64_t now = now_ns();
        if (started_ == 0) {
            started_ = now;
            direction_selector()->setCurrentIndex(DIRECTION_FAR);
            button(START_BUTTON)->click();
            next_ = started_ + FIRST_REVERSAL;
        } else if (now - started_ >= end_) {
            button(QUIT_BUTTON)->click();
            return;
        } else {
            QComboBox *direction = direction_selector();
            direction->setCurrentIndex(direction->currentIndex() == DIRECTION_FAR ? DIRECTION_HOME
                                                                                  : DIRECTION_FAR);
            next_ += REVERSE_EVERY;
        }
        const std::int64_t at = std::min(next_, started_ + end_);
        timer_.start(static_cast<int>(std::max<std::int64_t>(0, at - now_ns()) / 1000000));
    }

    QTimer timer_;
    std::int64_t end_;
    std::int64_t started_ = 0;
    std::int64_t next_ = 0;
};

int run_program(int argc, char *argv[])
{
    double seconds = 0;
    if (argc != 3 || !positive(argv[2], seconds))
        return fail("usage: engine_bench program <seconds>"), 2;
    ::setenv("STELMO_IO", "sim", 1);
    ::unsetenv("STELMO_TRACE");
    if (InitRuntimeEx(0, argv, 0) == 0)
        return 1;
    Operator operator_at_the_panel(seconds);
    const std::int64_t start = now_ns();
    const int status = stelmo_main(argc, argv);
    const std::int64_t stop = now_ns();

    stelmo::engine::TimerCounts counts;
    stelmo::engine::timer_counts(panelHandle, PANEL_TIMER, counts);
    const stelmo::ports::SimRig *rig = stelmo::engine::simulated_rig();
    result("program_seconds", static_cast<double>(stop - start) / 1e9);
    result("program_ticks", static_cast<double>(counts.ticks));
    result("program_missed", static_cast<double>(counts.missed));
    result("program_rig_steps", static_cast<double>(rig ? rig->state().steps : 0));
    result("program_rig_stalls", static_cast<double>(rig ? rig->state().stalls : 0));
    return status;
}

} // namespace

extern "C" int bench_tick(int panel, int control, int event, void *callbackData, int eventData1,
                          int eventData2)
{
    if (recording.on && event == EVENT_TIMER_TICK && recording.count < recording.stamps.size())
        recording.stamps[recording.count++] = now_ns();
    const long before = bench::allocations();
    timer(panel, control, event, callbackData, eventData1, eventData2);
    const long after_timer = bench::allocations();
    recording.timer_allocations += after_timer - before;
    keep_moving();
    recording.steering_allocations += bench::allocations() - after_timer;
    return 0;
}

int main(int argc, char *argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ticks")
        return run_ticks(argc, argv);
    if (mode == "bare")
        return run_bare(argc, argv);
    if (mode == "dispatch")
        return run_dispatch(argc, argv);
    if (mode == "launch")
        return run_launch(argc, argv);
    if (mode == "startup")
        return run_startup(argc, argv);
    if (mode == "program")
        return run_program(argc, argv);
    std::fprintf(stderr, "usage: engine_bench ticks|bare|dispatch|launch|startup|program ...\n");
    return 2;
}
