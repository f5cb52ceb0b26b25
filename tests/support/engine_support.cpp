#include "engine_support.h"

#include "runtime/engine/engine.h"
#include "runtime/services.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace support {

std::vector<Event> events;
std::function<void(const Event &)> on_event;

std::string panels_dir()
{
    return ENGINE_PANELS;
}

bool start_engine()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("STELMO_IO", "sim", 1); // never real ports from a test
    unsetenv("STELMO_TRACE");
    // The window watchdog reads a clock that stands still: a busy machine or
    // a sanitizer never stops a test's timers (engine_run_test moves it).
    stelmo::engine::set_watchdog_clock(
        [] { return std::chrono::steady_clock::time_point(std::chrono::hours(1)); });
    return InitRuntimeEx(0, nullptr, 0) == 1;
}

int run_for(int ms)
{
    // A timer object, not a single shot: should something else end the loop
    // first, it must not fire into a later run. It ends the loop as anything
    // other than QuitUserInterface would, so running timers keep running.
    QTimer stop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, [] { QCoreApplication::exit(0); });
    stop.start(ms);
    return RunUserInterface();
}

bool run_until(const std::function<bool()> &done)
{
    if (done())
        return true;
    QTimer ask;
    QObject::connect(&ask, &QTimer::timeout, [&done] {
        if (done())
            QCoreApplication::exit(0);
    });
    ask.start(1);
    const Deadline guard(20000);
    RunUserInterface();
    return done();
}

bool wait_until(const std::function<bool()> &done)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Deadline::Deadline(int ms)
{
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [] { QuitUserInterface(DEADLINE_CODE); });
    timer_.start(ms);
}

std::string panel_document(const std::string &controls, int panel)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ui version=\"4.0\">\n"
           " <class>Panel</class>\n"
           " <widget class=\"QWidget\" name=\"Panel\">\n"
           "  <property name=\"windowTitle\"><string>Test panel</string></property>\n"
           "  <property name=\"stelmoPanel\" stdset=\"0\"><number>" +
           std::to_string(panel) + "</number></property>\n" + controls +
           " </widget>\n"
           "</ui>\n";
}

std::string widget(const std::string &cls, const std::string &name, int ctrl,
                   const std::string &callback, int interval, const std::string &extra)
{
    std::string xml = "  <widget class=\"" + cls + "\" name=\"" + name + "\">\n";
    if (ctrl != 0)
        xml += "   <property name=\"stelmoCtrl\" stdset=\"0\"><number>" + std::to_string(ctrl) +
               "</number></property>\n";
    if (!callback.empty())
        xml += "   <property name=\"stelmoCallback\" stdset=\"0\"><string>" + callback +
               "</string></property>\n";
    if (interval != 0)
        xml += "   <property name=\"stelmoInterval\" stdset=\"0\"><number>" +
               std::to_string(interval) + "</number></property>\n";
    xml += extra;
    xml += "  </widget>\n";
    return xml;
}

} // namespace support

namespace {

int record(int panel, int control, int event)
{
    const support::Event e{panel, control, event};
    support::events.push_back(e);
    if (support::on_event)
        support::on_event(e);
    return 0;
}

} // namespace

extern "C" int engine_test_click(int panel, int control, int event, void *, int, int)
{
    return record(panel, control, event);
}

extern "C" int engine_test_tick(int panel, int control, int event, void *, int, int)
{
    return record(panel, control, event);
}

extern "C" int engine_test_quit(int panel, int control, int event, void *, int, int)
{
    if (event == EVENT_COMMIT)
        QuitUserInterface(7);
    return record(panel, control, event); // the callback goes on after asking to quit
}

int engine_test_not_a_function = 0;
