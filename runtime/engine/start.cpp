// Starting the engine: read the settings, check that a display can be
// reached and that the port backend opens, then create the application. A
// failure that can be seen coming ends in InitRuntimeEx returning 0 after one
// report line, shown in a window as well when nobody may read standard error
// (report_start_failure). Should Qt
// itself still find no way to start, the process ends with exit status 255
// after one report line; Qt never aborts it with a screenful of text.
#include "runtime/engine/safeguards.h"
#include "runtime/engine/state.h"
#include "runtime/engine/views.h"

#include "runtime/base/descriptors.h"
#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/ports/privilege.h"
#include "runtime/services.h"

#include <QDir>
#include <QFileInfo>
#include <QIcon>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace stelmo::engine {

namespace {

// --- state ------------------------------------------------------------------
// The engine, null until InitRuntimeEx succeeded; from then on it lives as
// long as the process. Atomic: a service called on a wrong thread reads it.
std::atomic<Engine *> started{nullptr};
// Qt's messages while the application is created (at most START_MESSAGES_MAX),
// held until it is clear whether the start went well.
constexpr std::size_t START_MESSAGES_MAX = 20;
std::vector<std::pair<QtMsgType, QString>> start_messages;
// Qt's diagnostics were asked for (QT_LOGGING_RULES or QT_DEBUG_PLUGINS):
// then all of Qt's messages reach stderr.
bool qt_diagnostics = false;

// The value of environment variable `variable`; empty when it is not set.
std::string environment(const char *variable)
{
    const char *value = std::getenv(variable);
    return value ? value : "";
}

bool set(const char *variable)
{
    return !environment(variable).empty();
}

// The program's settings: what the start-up code read from the command line,
// the environment and the configuration files, or without it (tests) the
// environment alone. A fault the start-up code found is said from here, where
// a window can say it too; one of the command line ends the process with
// its own exit status.
Fault read_settings(Settings &settings)
{
    int status = 0;
    if (const std::string &failure = given_failure(status); !failure.empty()) {
        if (status != 255) {
            report_start_failure(failure);
            std::exit(status);
        }
        return {ERR_NO_ENGINE, failure};
    }
    if (const Settings *given = given_settings()) {
        settings = *given;
        return {};
    }
    std::string error;
    if (!settings_from_environment(settings, error))
        return {ERR_NO_ENGINE, error};
    return {};
}

// The platform Qt will try first as QT_QPA_PLATFORM names it: its first entry,
// up to any ':' options; empty when the variable is not set.
std::string first_platform()
{
    std::string first = environment("QT_QPA_PLATFORM");
    first = first.substr(0, first.find(';'));
    return first.substr(0, first.find(':'));
}

// The platform Qt will try first is X11: QT_QPA_PLATFORM says so, or only
// DISPLAY says where a display is.
bool platform_is_xcb()
{
    if (set("QT_QPA_PLATFORM"))
        return first_platform() == "xcb";
    return !set("WAYLAND_DISPLAY") && set("DISPLAY");
}

// The connection x_server_reachable() made, held until Qt has its own: an X
// server with no other client (Xvfb, a bare xinit) resets when its last
// client hangs up, and a connection made while it resets is refused.
struct DisplayProbe {
    void *xcb = nullptr;
    void *connection = nullptr;
    void (*disconnect)(void *) = nullptr;
};
DisplayProbe display_probe;

void release_display_probe()
{
    if (display_probe.connection)
        display_probe.disconnect(display_probe.connection);
    if (display_probe.xcb)
        ::dlclose(display_probe.xcb);
    display_probe = {};
}

// Connects to the X server named by DISPLAY, and keeps the connection until
// release_display_probe(). The xcb library is loaded only for this (the xcb
// platform loads it anyway), so the engine gains no build dependency.
Fault x_server_reachable()
{
    release_display_probe();
    const std::string display = environment("DISPLAY");
    const std::string quoted = in_quotes(display);
    void *xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) {
        const char *error = ::dlerror();
        return {ERR_NO_ENGINE,
                translate("stelmo", "cannot open X display %1: %2")(
                    quoted, printable(error ? error : "libxcb.so.1 cannot be loaded"))};
    }
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    if (!connect || !has_error || !disconnect) {
        ::dlclose(xcb);
        return {
            ERR_NO_ENGINE,
            translate("stelmo", "cannot open X display %1: libxcb.so.1 lacks xcb_connect")(quoted)};
    }
    // xcb_connect always returns a connection object; on failure it carries
    // the error and must still be released with xcb_disconnect.
    void *connection = connect(display.empty() ? nullptr : display.c_str(), nullptr);
    const int error = connection ? has_error(connection) : 1;
    if (error == 0) {
        display_probe = {xcb, connection, disconnect};
        return {};
    }
    if (connection)
        disconnect(connection);
    ::dlclose(xcb);
    if (display.empty())
        return {ERR_NO_ENGINE,
                translate("stelmo", "cannot open an X display: DISPLAY is not set")()};
    if (error == 5) // XCB_CONN_CLOSED_PARSE_ERR
        return {
            ERR_NO_ENGINE,
            translate("stelmo", "cannot open X display %1 (DISPLAY): not a display name")(quoted)};
    if (error == 6) // XCB_CONN_CLOSED_INVALID_SCREEN
        return {ERR_NO_ENGINE,
                translate("stelmo", "cannot open X display %1 (DISPLAY): no such screen")(quoted)};
    return {ERR_NO_ENGINE,
            translate("stelmo", "cannot open X display %1 (DISPLAY): no X server "
                                "answers there, or it refused the connection")(quoted)};
}

Fault display_reachable()
{
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM"))
        return {ERR_NO_ENGINE,
                translate("stelmo", "no display to show the panel on: DISPLAY, WAYLAND_DISPLAY "
                                    "and QT_QPA_PLATFORM are all unset (QT_QPA_PLATFORM=offscreen "
                                    "runs without one)")()};
    if (platform_is_xcb())
        return x_server_reachable();
    return {};
}

// While the application is created a fatal message from Qt (no platform
// plugin could start) becomes one report line and exit status 255 instead of
// an abort.
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
    report(translate("stelmo", "cannot start the user interface: %1")(causes + shown(first)));
    ::_exit(255);
}

void start_handler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg)
        start_failed(text);
    if (start_messages.size() < START_MESSAGES_MAX)
        start_messages.emplace_back(type, text);
}

// Qt's X11 platform says this, on the event-loop thread, when the connection
// to the X server broke (the server died), and then ends the process with
// exit status 1.
bool display_connection_broke(const QMessageLogContext &context, const QString &text)
{
    const bool xcb = !context.category || std::strcmp(context.category, "default") == 0 ||
                     std::strcmp(context.category, "qt.qpa.xcb") == 0;
    return xcb && text.startsWith(QLatin1String("The X11 connection broke"));
}

// Once the engine runs, Qt's own messages are diagnostics for developers,
// not faults of the operator's (the offscreen platform, for one, warns about
// every window it cannot raise). Critical ones become a report line; the
// rest reach stderr only when Qt's diagnostics were asked for. A broken
// display connection is always said: the panel is gone and Qt ends the
// process right after this message, so every timer is switched off first.
void running_handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (display_connection_broke(context, text)) {
        Engine *engine = current_engine();
        if (engine && on_loop_thread(*engine))
            end_at_once(*engine, 1);
        report(translate("stelmo",
                         "lost the display %1: %2 Stepping is stopped; stelmo ends with exit "
                         "status 1")(in_quotes(environment("DISPLAY")),
                                     shown(text.section(QLatin1Char('\n'), 0, 0))));
        settle_reports(); // Qt ends the process next
        return;
    }
    if (type == QtCriticalMsg || type == QtFatalMsg || qt_diagnostics)
        report("Qt: " + shown(text.section(QLatin1Char('\n'), 0, 0)));
    if (type == QtFatalMsg)
        settle_reports(); // Qt aborts next
}

// The icon of stelmo's windows: the desktop theme's, else the one built next
// to the executable's directory (build/icons) or installed below it
// (share/icons/hicolor).
QIcon window_icon()
{
    const QString name = QStringLiteral("stelmo");
    QIcon icon;
    const QDir top(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    for (const int size : {48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1x%1").arg(size);
        for (const QString &file :
             {top.filePath(QStringLiteral("icons/%1/%2.png").arg(dir, name)),
              top.filePath(QStringLiteral("share/icons/hicolor/%1/apps/%2.png").arg(dir, name))}) {
            if (QFileInfo(file).isFile()) {
                icon.addFile(file, QSize(size, size));
                break;
            }
        }
    }
    const QString svg =
        top.filePath(QStringLiteral("share/icons/hicolor/scalable/apps/stelmo.svg"));
    if (icon.isNull() && QFileInfo(svg).isFile())
        icon.addFile(svg);
    return QIcon::fromTheme(name, icon);
}

// Both windows, the panel and the rig view, carry stelmo's icon and name the
// desktop entry they belong to, so the desktop groups them under it.
void present(QApplication &app)
{
    QGuiApplication::setDesktopFileName(QStringLiteral(STELMO_APP_ID));
    app.setWindowIcon(window_icon());
}

// The port backend the settings ask for.
Fault open_ports(Engine &engine)
{
    std::string error;
    if (!ports::open_backend(engine.settings.io.c_str(), engine.settings.trace.c_str(),
                             engine.setup, error, named(engine.settings.source("trace")),
                             engine.settings.switch_mask))
        return {ERR_NO_ENGINE, error};
    return {};
}

Fault create_application(QApplication *&app)
{
    app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (app)
        return {};
    if (QCoreApplication::instance())
        return {ERR_NO_ENGINE,
                translate("stelmo", "cannot start the user interface: this "
                                    "process already runs a non-GUI Qt application")()};

    // Qt keeps references to argc and argv for the life of the application.
    // The program's own arguments are not Qt's to interpret (a stray
    // "-platform" must not change what the operator gets); Qt's environment
    // variables still apply.
    static int argc = 1;
    static char name[] = "stelmo";
    static char *argv[] = {name, nullptr};

    qt_diagnostics = set("QT_LOGGING_RULES") || set("QT_DEBUG_PLUGINS");
    // Repaints reach the X server as plain images, not through shared
    // memory: with a shared image Qt waits for the server to be done with it
    // (a round trip) before each repaint, of the panel and of the rig view
    // every frame while the motor runs, which costs more than sending the
    // few small rectangles a frame changes. Kept when the user sets it.
    if (!set("QT_XCB_NO_MITSHM"))
        ::setenv("QT_XCB_NO_MITSHM", "1", 1);
    qInstallMessageHandler(&start_handler);
    app = new QApplication(argc, argv);
    qInstallMessageHandler(&running_handler);
    install_translations(*app);
    present(*app);
    // The start went well, so Qt's notes from it (such as XDG_RUNTIME_DIR
    // not being set on a headless machine) are no fault of the operator's.
    for (const auto &[type, text] : start_messages)
        running_handler(type, QMessageLogContext(), text);
    start_messages.clear();
    return {};
}

} // namespace

void report_start_failure(const std::string &text)
{
    report(text);
    // A terminal shows the line. Launched from the desktop's menu, standard
    // error goes nowhere anyone looks, so a window says it too, where there
    // is a display to show one on (the offscreen and minimal platforms show
    // nobody anything).
    const std::string platform = first_platform();
    if (::isatty(STDERR_FILENO) || platform == "offscreen" || platform == "minimal" ||
        display_reachable())
        return;
    QApplication *app = nullptr;
    const bool created = !create_application(app);
    release_display_probe();
    if (created)
        show_failure_window(text);
}

Engine *current_engine()
{
    return started.load(std::memory_order_acquire);
}

Engine *start_engine()
{
    // Before anything is opened: no device, trace or display connection may
    // become descriptor 0, 1 or 2, where report lines would be written into it.
    if (const int cause = open_standard_descriptors()) {
        report(translate("stelmo",
                         "cannot open /dev/null in place of a closed standard descriptor: %1")(
            std::strerror(cause)));
        return nullptr;
    }
    // The process with the window holds no capability: the port helper
    // regains what it needs when it is started. stelmo's start-up code has
    // dropped them before any thread ran; this is for an engine started
    // without it.
    ports::drop_capabilities();
    auto engine = std::make_unique<Engine>();
    Fault fault = check_room_to_start();
    if (!fault)
        fault = read_settings(engine->settings);
    if (!fault)
        fault = display_reachable();
    if (!fault)
        fault = open_ports(*engine);
    if (!fault) {
        keep_qt_off_silent_buses();
        fault = create_application(engine->app);
    }
    release_display_probe();
    if (!fault)
        fault = watch_signals(*engine);
    if (fault) {
        report_start_failure(fault.text);
        return nullptr;
    }
    queue_reports(); // from here on no report line waits for stderr
    install_key_filter(*engine);
    install_window_guard(*engine);
    // The panel window is not the last word on quitting: closing it ends
    // RunUserInterface as QuitUserInterface(0) would (see WindowWatcher in
    // panel_activate.cpp), so the program's own code decides what happens next,
    // and no invisible process is left driving the motor.
    engine->app->setQuitOnLastWindowClosed(false);

    Engine *self = engine.get();
    engine->loop_thread = pthread_self();
    engine->frames = std::make_unique<FramePacer>();
    engine->displays = engine->frames->add([self] { show_waiting_values(*self); });
    watch_ports(*engine);
    watch_hardware(*engine);
    install_accessibility();
    ports::install(engine->setup.backend.get());
    // Shown beside the first panel displayed (see DisplayPanel).
    if (engine->setup.rig && engine->settings.rig_view)
        engine->rig_view =
            std::make_unique<RigView>(*engine->setup.rig, *engine->frames, engine->lock);
    // The engine lives as long as the process: the port backend must outlast
    // every tick, and Qt objects are not torn down safely after main returns.
    Engine *live = engine.release();
    started.store(live, std::memory_order_release);
    return live;
}

} // namespace stelmo::engine
