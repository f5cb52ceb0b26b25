// Starting the engine: check that a display can be reached and that the port
// backend opens, then create the application. A failure that can be seen
// coming ends in InitRuntimeEx returning 0 after one report line. Should Qt
// itself still find no way to start, the process ends with exit status 255
// after one report line; Qt never aborts it with a screenful of text.
#include "runtime/engine/internal.h"

#include "runtime/report.h"

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace stelmo::engine {

namespace {

std::atomic<Engine *> started{nullptr};

bool set(const char *variable)
{
    const char *value = std::getenv(variable);
    return value && *value;
}

// The platform Qt will try first: QT_QPA_PLATFORM's first entry (up to any
// ':' options), else the X server when only DISPLAY says where a display is.
bool platform_is_xcb()
{
    if (set("QT_QPA_PLATFORM")) {
        std::string first = std::getenv("QT_QPA_PLATFORM");
        first = first.substr(0, first.find(';'));
        first = first.substr(0, first.find(':'));
        return first == "xcb";
    }
    return !set("WAYLAND_DISPLAY") && set("DISPLAY");
}

// Connects to the X server named by DISPLAY and hangs up again. The xcb
// library is loaded only for this (the xcb platform loads it anyway), so the
// engine gains no build dependency.
bool x_server_reachable(std::string &why)
{
    const char *display = std::getenv("DISPLAY");
    const std::string name = display ? shown(std::string_view(display)) : "";
    void *xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) {
        const char *error = ::dlerror();
        why = "cannot open X display \"" + name +
              "\": " + shown(std::string_view(error ? error : "libxcb.so.1 cannot be loaded"));
        return false;
    }
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    if (!connect || !has_error || !disconnect) {
        ::dlclose(xcb);
        why = "cannot open X display \"" + name + "\": libxcb.so.1 lacks xcb_connect";
        return false;
    }
    // xcb_connect always returns a connection object; on failure it carries
    // the error and must still be released with xcb_disconnect.
    void *connection = connect(display, nullptr);
    const int error = connection ? has_error(connection) : 1;
    if (connection)
        disconnect(connection);
    ::dlclose(xcb);
    if (error == 0)
        return true;

    if (!display || !*display)
        why = "cannot open an X display: DISPLAY is not set";
    else if (error == 5) // XCB_CONN_CLOSED_PARSE_ERR
        why = "cannot open X display \"" + name + "\" (DISPLAY): not a display name";
    else if (error == 6) // XCB_CONN_CLOSED_INVALID_SCREEN
        why = "cannot open X display \"" + name + "\" (DISPLAY): no such screen";
    else
        why = "cannot open X display \"" + name +
              "\" (DISPLAY): no X server answers there, or it refused the connection";
    return false;
}

bool display_reachable(std::string &why)
{
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        why = "no display to show the panel on: DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM "
              "are all unset (QT_QPA_PLATFORM=offscreen runs without one)";
        return false;
    }
    if (platform_is_xcb())
        return x_server_reachable(why);
    return true;
}

// While the application is created: Qt's messages are held, and a fatal one
// (no platform plugin could start) becomes one report line and exit status
// 255 instead of an abort.
std::vector<std::pair<QtMsgType, QString>> start_messages;

[[noreturn]] void start_failed(const QString &fatal)
{
    std::string causes;
    for (const auto &[type, text] : start_messages) {
        if (type == QtDebugMsg || type == QtInfoMsg)
            continue;
        causes += shown(text.section(QLatin1Char('\n'), 0, 0)) + "; ";
    }
    // Qt's fatal text is several lines; its first sentence is the point.
    QString first = fatal.section(QLatin1Char('\n'), 0, 0);
    if (const auto stop = first.indexOf(QLatin1String(". ")); stop > 0)
        first.truncate(stop);
    report("cannot start the user interface: " + causes + shown(first));
    ::_exit(255);
}

void start_handler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg)
        start_failed(text);
    if (start_messages.size() < 20)
        start_messages.emplace_back(type, text);
}

// Once the engine runs, Qt's own messages are diagnostics for developers,
// not faults of the operator's (the offscreen platform, for one, warns about
// every window it cannot raise). Critical ones become a report line; the
// rest reach stderr only when Qt's diagnostics were asked for.
void running_handler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    static const bool diagnostics = set("QT_LOGGING_RULES") || set("QT_DEBUG_PLUGINS");
    if (type == QtCriticalMsg || type == QtFatalMsg || diagnostics)
        report("Qt: " + shown(text.section(QLatin1Char('\n'), 0, 0)));
}

QApplication *create_application()
{
    if (auto *existing = qobject_cast<QApplication *>(QCoreApplication::instance()))
        return existing;
    if (QCoreApplication::instance()) {
        report("cannot start the user interface: this process already runs a non-GUI Qt "
               "application");
        return nullptr;
    }

    // Qt keeps references to argc and argv for the life of the application.
    // The program's own arguments are not Qt's to interpret (a stray
    // "-platform" must not change what the operator gets); Qt's environment
    // variables still apply.
    static int argc = 1;
    static char name[] = "stelmo";
    static char *argv[] = {name, nullptr};

    qInstallMessageHandler(&start_handler);
    auto *app = new QApplication(argc, argv);
    qInstallMessageHandler(&running_handler);
    // The start went well, so Qt's notes from it (such as XDG_RUNTIME_DIR
    // not being set on a headless machine) are no fault of the operator's.
    for (const auto &[type, text] : start_messages)
        running_handler(type, QMessageLogContext(), text);
    start_messages.clear();
    return app;
}

} // namespace

Engine *current_engine()
{
    return started.load(std::memory_order_acquire);
}

Engine *start_engine()
{
    std::string why;
    if (!display_reachable(why)) {
        report(why);
        return nullptr;
    }

    auto engine = std::make_unique<Engine>();
    std::string error;
    if (!ports::open_backend(std::getenv("STELMO_IO"), std::getenv("STELMO_TRACE"), engine->setup,
                             error)) {
        report(error);
        return nullptr;
    }

    engine->app = create_application();
    if (!engine->app)
        return nullptr;
    // The panel window is not the last word on quitting: closing it ends
    // RunUserInterface as QuitUserInterface(0) would (see WindowWatcher in
    // panel_load.cpp), so the program's own code decides what happens next,
    // and no invisible process is left driving the motor.
    engine->app->setQuitOnLastWindowClosed(false);

    Engine *self = engine.get();
    engine->frames = std::make_unique<FramePacer>();
    engine->displays = engine->frames->add([self] { show_waiting_values(*self); });
    ports::install(engine->setup.backend.get());
    // Shown beside the first panel displayed (see DisplayPanel).
    if (engine->setup.rig)
        engine->rig_view = make_rig_view(*engine->setup.rig, *engine->frames);
    // The engine lives as long as the process: the port backend must outlast
    // every tick, and Qt objects are not torn down safely after main returns.
    Engine *live = engine.release();
    started.store(live, std::memory_order_release);
    return live;
}

} // namespace stelmo::engine
