// InitRuntimeEx: starting without a display, with an X server that does not
// answer, with a platform Qt cannot load, with a port backend that cannot
// open, and starting properly; how signals end a started engine; then what
// start-up says about the first timer, what a timer without a thread does
// to its panel, and what port hardware that is gone does to the timers. Each case runs in a forked
// child, since a process can start the engine only once, and some take rights away for good; the
// child's stderr is collected.
#include "engine_support.h"

#include "runtime/base/report.h"
#include "runtime/engine/engine.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/ports/loss.h"
#include "runtime/ports/ports.h"
#include "runtime/services.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using support::lines_of;

struct Child {
    bool exited = false; // ended by exit, not by a signal
    int code = -1;       // exit status when it exited
    std::string err;     // what it wrote to stderr
};

// Runs `body` in a child process with stderr captured; its return value is
// the child's exit status.
Child in_child(const std::function<int()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        const int code = body();
        stelmo::settle_reports(); // a started engine queues its lines
        _exit(code);
    }
    close(fds[1]);
    Child child;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        child.err.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    child.exited = WIFEXITED(status);
    child.code = child.exited ? WEXITSTATUS(status) : -WTERMSIG(status);
    return child;
}

// The environment of a machine without any display.
void no_display()
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("STELMO_TRACE");
    setenv("STELMO_IO", "sim", 1);
}

// Expects exactly one "stelmo:" line that contains each of `words`.
void expect_one_line(const Child &child, std::initializer_list<const char *> words)
{
    const auto lines = lines_of(child.err);
    ASSERT_EQ(lines.size(), 1u) << child.err;
    EXPECT_EQ(lines[0].rfind("stelmo: ", 0), 0u) << lines[0];
    for (const char *word : words)
        EXPECT_NE(lines[0].find(word), std::string::npos) << word << " in: " << lines[0];
}

// Starts the engine offscreen on the simulated rig, in a child.
bool start_offscreen()
{
    no_display();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("XDG_RUNTIME_DIR");
    return InitRuntimeEx(0, nullptr, 0) == 1;
}

// Takes real-time scheduling out of reach: no RLIMIT_RTPRIO, no CAP_SYS_NICE,
// no RealtimeKit (no system bus).
bool no_realtime()
{
    const rlimit none{0, 0};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    if (setrlimit(RLIMIT_RTPRIO, &none) != 0 || syscall(SYS_capget, &header, caps) != 0)
        return false;
    caps[0].effective &= ~(1u << CAP_SYS_NICE);
    caps[0].permitted &= ~(1u << CAP_SYS_NICE);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    return syscall(SYS_capset, &header, caps) == 0;
}

// From here on this process starts no thread, as when the system's thread
// limit is reached: clone3 says it does not exist (glibc then uses clone),
// clone for a thread says EAGAIN.
bool no_threads()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The number of threads of this process.
long threads()
{
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return std::distance(begin(tasks), end(tasks));
}

bool x_display_99_exists()
{
    struct stat st {};
    return stat("/tmp/.X11-unix/X99", &st) == 0;
}

TEST(EngineStartTest, NoDisplayAnywhereIsOneLineAndZero)
{
    const Child child = in_child([] {
        no_display();
        return InitRuntimeEx(0, nullptr, 0) == 0 && !QCoreApplication::instance() ? 0 : 1;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0);
    expect_one_line(child, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
}

TEST(EngineStartTest, UnreachableXServerIsOneLineAndZero)
{
    if (x_display_99_exists())
        GTEST_SKIP() << "an X server listens on :99 here";
    for (const char *platform : {"", "xcb"}) {
        const Child child = in_child([platform] {
            no_display();
            setenv("DISPLAY", ":99", 1);
            if (*platform)
                setenv("QT_QPA_PLATFORM", platform, 1);
            return InitRuntimeEx(0, nullptr, 0) == 0 ? 0 : 1;
        });
        EXPECT_TRUE(child.exited) << platform; // no abort
        EXPECT_EQ(child.code, 0) << platform;
        expect_one_line(child, {":99"});
    }
}

TEST(EngineStartTest, PlatformQtCannotLoadEndsWithOneLineNotAnAbort)
{
    const Child child = in_child([] {
        no_display();
        setenv("QT_QPA_PLATFORM", "nosuchplatform", 1);
        InitRuntimeEx(0, nullptr, 0);
        return 0; // not reached: Qt cannot go on without a platform
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 255);
    expect_one_line(child, {"nosuchplatform"});
}

TEST(EngineStartTest, PortBackendThatCannotOpenIsOneLineAndZeroAndCanBeRetried)
{
    const Child child = in_child([] {
        no_display();
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("STELMO_IO", "bogus", 1);
        if (InitRuntimeEx(0, nullptr, 0) != 0)
            return 1;
        if (QCoreApplication::instance() || stelmo::ports::installed())
            return 2; // nothing may be left half-started
        // A successful start adds nothing to stderr, not even Qt's note
        // about a missing XDG_RUNTIME_DIR on a headless machine.
        unsetenv("XDG_RUNTIME_DIR");
        setenv("STELMO_IO", "sim", 1);
        return InitRuntimeEx(0, nullptr, 0) == 1 ? 0 : 3;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0);
    expect_one_line(child, {"STELMO_IO=bogus"});
}

TEST(EngineStartTest, ServicesBeforeStartAreRefused)
{
    const Child child = in_child([] {
        int index = 5;
        int failures = 0;
        failures += LoadPanel(0, "stelmo.uir", 1) != ERR_NO_ENGINE;
        failures += DisplayPanel(1) != ERR_NO_ENGINE;
        failures += SetCtrlAttribute(1, 9, ATTR_TIMER_ENABLED, 1) != ERR_NO_ENGINE;
        failures += GetCtrlAttribute(1, 9, ATTR_TIMER_ENABLED, &index) != ERR_NO_ENGINE;
        failures += RunUserInterface() != ERR_NO_ENGINE;
        failures += QuitUserInterface(0) != ERR_NO_ENGINE;
        failures += GetCtrlIndex(1, 6, &index) != ERR_NO_ENGINE;
        failures += SetCtrlVal(1, 5, 1.0) != ERR_NO_ENGINE;
        failures += index != 5;
        return failures;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0);
    for (const auto &line : lines_of(child.err))
        EXPECT_EQ(line.rfind("stelmo: ", 0), 0u) << line;
}

TEST(EngineStartTest, StartsOnceAndLeavesTheProgramsArgumentsAlone)
{
    const Child child = in_child([] {
        no_display();
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Were these handed to Qt, it would pick a platform that does not
        // exist and stop the process.
        static char a0[] = "stelmo", a1[] = "-platform", a2[] = "nosuchplatform";
        static char *argv[] = {a0, a1, a2, nullptr};
        if (InitRuntimeEx(0, argv, 0) != 1)
            return 1;
        auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
        if (!app || QCoreApplication::arguments().size() != 1)
            return 2;
        if (InitRuntimeEx(0, argv, 0) != 1 || QCoreApplication::instance() != app)
            return 3;
        if (QApplication::quitOnLastWindowClosed())
            return 4;
        if (stelmo::engine::backend_description() != "simulated rig" ||
            !stelmo::engine::simulated_rig() || stelmo::ports::installed() == nullptr)
            return 5;
        return 0;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0) << child.err;
}

// SIGTERM, SIGINT and SIGHUP end the running loop as Quit does, with the
// timer already off when it returns, and the process with 128 + the signal.
TEST(EngineStartTest, SignalsEndTheLoopWithTheTimersOffAndTheirOwnStatus)
{
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        const Child child = in_child([number] {
            no_display();
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("STELMO_RIG_VIEW", "0", 1);
            static int handle = 0;
            if (InitRuntimeEx(0, nullptr, 0) != 1 ||
                (handle = LoadPanel(0, (support::panels_dir() + "/operator.ui").c_str(), 1)) < 1)
                return 1;
            SetCtrlAttribute(handle, 9, ATTR_TIMER_ENABLED, 1);
            std::atexit([] {
                stelmo::engine::TimerCounts counts;
                if (!stelmo::engine::timer_counts(handle, 9, counts) || counts.enabled)
                    stelmo::report("the timer still runs at exit");
            });
            QTimer::singleShot(50, [number] { std::raise(number); });
            RunUserInterface();
            return 2; // not reached: the process ends in RunUserInterface
        });
        EXPECT_TRUE(child.exited) << number;
        EXPECT_EQ(child.code, 128 + number);
        // Nothing but, where real-time is not to be had, the line saying so.
        EXPECT_EQ(child.err.find("stelmo: the timer still runs"), std::string::npos) << child.err;
        EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'),
                  child.err.rfind("stelmo: step timer runs at normal priority", 0) == 0 ? 1 : 0)
            << child.err;
    }
}

TEST(EngineStartTest, RigWindowOnlyWhenNotSwitchedOff)
{
    for (const char *setting : {"0", "1"}) {
        const Child child = in_child([setting] {
            no_display();
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("STELMO_RIG_VIEW", setting, 1);
            if (InitRuntimeEx(0, nullptr, 0) != 1)
                return 1;
            int rig_windows = 0;
            for (const QWidget *window : QApplication::topLevelWidgets())
                rig_windows += window->windowTitle() == "Simulated rig";
            return rig_windows == (*setting == '1' ? 1 : 0) ? 0 : 2;
        });
        EXPECT_TRUE(child.exited) << setting;
        EXPECT_EQ(child.code, 0) << setting << child.err;
    }
}

TEST(EngineStartTest, SaysOnceWhenTheStepTimerIsNotRealTime)
{
    const std::string operator_panel = support::panels_dir() + "/operator.ui";
    // Without any way to real-time scheduling: one line at the first timer,
    // none at the second, and the status says the same. (With one, nothing
    // is said: the Xvfb tests, run as root, expect an empty stderr.) The
    // system bus takes connections and never answers: RealtimeKit is given
    // up after a second, where Qt would wait 25.
    support::TempDir dir;
    const Child child = in_child([&] {
        alarm(60); // a hang fails the test
        const int silent = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un bus{};
        bus.sun_family = AF_UNIX;
        const std::string path = dir.file("system_bus_socket");
        path.copy(bus.sun_path, sizeof bus.sun_path - 1);
        if (!no_realtime() || bind(silent, reinterpret_cast<sockaddr *>(&bus), sizeof bus) != 0 ||
            listen(silent, 8) != 0 ||
            setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1) != 0 ||
            !start_offscreen())
            return 1;
        if (LoadPanel(0, operator_panel.c_str(), 1) < 1 ||
            LoadPanel(0, operator_panel.c_str(), 1) < 1)
            return 2;
        return stelmo::engine::tick_scheduling().rfind("normal priority: ", 0) == 0 ? 0 : 3;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0) << child.err;
    expect_one_line(child, {"step timer runs at normal priority: ", "RLIMIT_RTPRIO 0",
                            "the D-Bus system bus did not answer within 1000 ms",
                            "; steps may be late when the machine is busy"});
}

TEST(EngineStartTest, TimerThatCannotBeHadTakesTheWholePanelDown)
{
    const Child child = in_child([] {
        if (!start_offscreen())
            return 1;
        support::TempDir dir;
        const std::string path = dir.write(
            "timers.ui",
            support::panel_document(support::widget("QPushButton", "b", 2, "engine_test_click") +
                                    support::widget("QWidget", "t", 9, "engine_test_tick", 10)));
        const auto windows = QApplication::topLevelWidgets().size();
        const long before = threads();
        if (!no_threads())
            return 2;
        if (LoadPanel(0, path.c_str(), 1) != ERR_BAD_CONTROL)
            return 3;
        // Nothing of it is left: no window, no thread, no handle.
        if (QApplication::topLevelWidgets().size() != windows || threads() != before)
            return 4;
        return stelmo::engine::control_ids(1).empty() ? 0 : 5;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0) << child.err;
    expect_one_line(child, {"timers.ui: control 9 \"t\": cannot start a timer thread"});
}

// The port hardware gone while the timer runs (the port helper died; here a
// backend that says so at its fourth write): no access after it, the timer
// off, the strip says so, and Start is refused with one line, however often
// it is pressed.
TEST(EngineStartTest, HardwareGoneStopsTheTimerAndStartIsRefused)
{
    const Child child = in_child([] {
        struct Dying : stelmo::ports::Backend {
            int writes = 0;
            bool read(std::uint16_t, std::uint8_t &value) override
            {
                value = stelmo::ports::PORT_NOTHING;
                return true;
            }
            bool write(std::uint16_t, std::uint8_t) override
            {
                if (++writes == 4)
                    stelmo::ports::hardware_lost();
                return writes < 4;
            }
        };
        static Dying port;
        if (!start_offscreen())
            return 1;
        stelmo::ports::install(&port);
        const int handle = LoadPanel(0, (support::panels_dir() + "/operator.ui").c_str(), 1);
        if (handle < 1 || DisplayPanel(handle) != 0)
            return 2;
        support::on_event = [](const support::Event &e) {
            if (e.event == EVENT_TIMER_TICK)
                outp(0x378, 1);
        };
        SetCtrlAttribute(handle, 9, ATTR_TIMER_ENABLED, 1);
        support::run_for(200);
        for (int press = 0; press < 3; ++press)
            if (SetCtrlAttribute(handle, 9, ATTR_TIMER_ENABLED, 1) != ERR_PORT_GONE)
                return 3;
        support::run_for(100);
        if (port.writes != 4)
            return 4;
        for (const QLabel *label : stelmo::engine::panel_widget(handle)->findChildren<QLabel *>())
            if (label->text() == "Stopped: port hardware gone; start stelmo again")
                return 0;
        return 5;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.code, 0) << child.err;
    std::vector<std::string> lines;
    for (const std::string &line : lines_of(child.err))
        if (line.rfind("stelmo: step timer runs at normal priority", 0) != 0)
            lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u) << child.err;
    EXPECT_EQ(lines[0], "stelmo: the port hardware is gone: every step timer is switched off, and "
                        "Start is refused until stelmo is started again");
    EXPECT_EQ(lines[1].rfind("stelmo: SetCtrlAttribute: the port hardware is gone; ", 0), 0u)
        << lines[1];
}

} // namespace
