// Shared by the engine's sources: its settings and state, its panels and
// their controls, the table of control kinds, and the steps of loading a
// panel.
//
// Threads. Widgets, panels and the event loop belong to the event-loop
// thread (the one that started the engine); each timer control ticks on a
// thread of its own (TickThread). One lock keeps the program from noticing:
// the engine's callback lock (Engine::lock) is held around every call into
// the program, button, deferred event or tick, so callbacks never overlap;
// and a service called from a tick never touches a widget (a selector's
// index is mirrored in its Control, a display value waits for the next
// frame). From that:
// - What a tick reads of the engine (the panel and control tables, the
//   mirrors, display values, the quit request, the timers' switches) changes
//   only with the lock held. The event-loop thread takes it for such changes
//   unless it holds it already (HoldUnlessHeld).
// - Only the event-loop thread adds or removes panels, so it reads the panel
//   table without the lock; a tick reads it with the lock.
// - A tick thread is never stopped or joined with the lock held while it may
//   be waiting for it (TickThread::stop).
// - A callback never nests on the event-loop thread: an event arriving while
//   a callback runs there waits until that callback ended (deferred); a tick
//   simply waits for the lock and, when that made it late, its timer
//   re-phases.
//
// Errors. A step that can fail returns a Fault: empty when it succeeded,
// else the service failure code it ends in (runtime/services.h) and one line
// saying what went wrong, without the "stelmo: " prefix. What a step makes
// goes to an out-parameter and is valid only when the Fault is empty; a step
// that fails keeps nothing it acquired. Steps never report a fault: the
// services do, one line per fault, and return the fault's code.
#pragma once

#include "runtime/clock/callback_lock.h"
#include "runtime/clock/frame_pacer.h"
#include "runtime/clock/tick_thread.h"
#include "runtime/engine/engine.h"
#include "runtime/engine/settings.h"
#include "runtime/ports/ports.h"
#include "runtime/view/rig_view.h"
#include "runtime/view/status_strip.h"

#include <QApplication>
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>

namespace stelmo::engine {

// A step's failure; empty when there was none (see the top of this file).
struct Fault {
    int code = 0;     // a failure code of runtime/services.h; 0: no fault
    std::string text; // what went wrong, one line
    explicit operator bool() const { return code != 0; }
};

// --- controls ---------------------------------------------------------------

// What a control is, from its widget class.
enum class Kind {
    button,   // a click is a commit event
    selector, // the program reads the current index
    display,  // the program shows a number
    timer,    // ticks at its interval; has no face on the panel
};

// What a display can show, read from its widget when the panel is made live,
// so that a tick checks a value without touching the widget.
struct DisplayLimits {
    double min = 0, max = 0; // the range of a spin box
    int digits = 0;          // the digits of an LCD number
    int base = 10;           // the number base of an LCD number: 2, 8, 10 or 16
};

// One row of the control table: a widget class that can be a control, and
// everything the engine does differently for it.
struct ControlClass {
    const QMetaObject *meta; // the widget class
    bool exact;              // that class only, not the classes derived from it
    Kind kind;
    const char *kind_name; // the kind in reports, e.g. "numeric display"; untranslated
    // Refuses a widget of this class that cannot serve as a control (a
    // selector without entries); null: every widget can.
    Fault (*usable)(const QWidget *widget, const std::string &control);
    // Connects the signal of the operator's action to `commit`; null: the
    // class raises no events.
    void (*on_commit)(QWidget *widget, std::function<void()> commit);
    // Displays: what the widget can show, whether `value` is within that, the
    // range it must be in (for a report), and showing it. Null for the other
    // kinds. `fits` and `range` touch no widget: ticks call them.
    DisplayLimits (*limits)(const QWidget *widget);
    bool (*fits)(const DisplayLimits &limits, double value);
    std::string (*range)(const DisplayLimits &limits);
    void (*show)(QWidget *widget, double value);
    // Selectors: the current index, and connecting `changed` to every change
    // of it. Null for the other kinds.
    int (*index)(const QWidget *widget);
    void (*on_index)(QWidget *widget, std::function<void(int)> changed);
};

// The row for `widget`'s class, or null when it can be no control.
const ControlClass *control_class(const QWidget *widget);

// The name of `kind` in reports, e.g. "command button", untranslated (pass
// it through translate("stelmo", ...)).
const char *kind_name(Kind kind);

// `value` as reports show it.
std::string number(double value);

// A control of a live panel. The fields below `widget` are what ticks read
// and write: change them with the engine's lock held.
struct Control {
    int id = 0;
    const ControlClass *cls = nullptr; // never null once loaded
    QPointer<QWidget> widget;          // owned by the panel's widget tree; event-loop thread only
    CtrlCallbackPtr callback = nullptr;
    std::string callback_name;
    std::unique_ptr<TickThread> timer; // timer controls only
    bool alive = true;                 // the widget still exists (cleared when it is destroyed)
    int index = 0;                     // selectors: the widget's current index, mirrored
    DisplayLimits limits;              // displays: what the widget can show
    // Displays only: the value the program last set, and whether it still
    // waits for the next frame to reach the widget (set during a tick).
    std::optional<double> value;
    bool value_waiting = false;
};

struct Panel {
    ~Panel();

    int handle = 0;
    QPointer<QWidget> root;           // the window; null once it was destroyed
    bool alive = true;                // the window still exists; what ticks read
    std::unique_ptr<QObject> watcher; // ends the loop when the window closes
    std::map<int, Control> controls;  // by control id
    QPointer<StatusStrip> strip;      // along the bottom of the window; event-loop thread only
};

// --- the engine -------------------------------------------------------------

// An event for a callback that arrived while another callback ran.
struct Deferred {
    int panel;
    int control;
    int event;
};

// Everything the engine changes after start-up. One lives for the whole
// process once InitRuntimeEx succeeded.
struct Engine {
    // Held around every call into the program and every change a tick reads
    // (see the top of this file).
    CallbackLock lock;
    pthread_t loop_thread{}; // the event-loop thread, which started the engine
    QApplication *app = nullptr;
    Settings settings;
    ports::Setup setup; // inp/outp use its backend for the rest of the process
    // Refreshes what ticks changed on screen once per frame: values set on
    // displays during ticks, and the rig view.
    std::unique_ptr<FramePacer> frames;
    FramePacer::Client displays = 0;              // the panels' displays among the frame's clients
    FramePacer::Client strips = 0;                // the panels' status strips, likewise
    std::unique_ptr<RigView> rig_view;            // the "Simulated rig" window, when shown
    std::map<int, std::unique_ptr<Panel>> panels; // by handle, from 1
    int next_handle = 1;                          // the handle of the next panel loaded
    std::deque<Deferred> deferred; // events that wait for a callback to end; loop thread only
    bool running = false;          // RunUserInterface is in the event loop
    bool quit_requested = false;   // the next or running loop ends ...
    int quit_code = 0;             // ... and RunUserInterface returns this
    // How the timer threads are scheduled: the status of the latest one made
    // (empty before the first), and whether start-up has said so yet.
    std::string tick_scheduling;
    bool scheduling_said = false;
    // The port trace was told the backend and the tick interval.
    bool run_info_given = false;
    // Display values taken from the controls under the lock, then shown
    // without it (show_waiting_values).
    struct Showing {
        QPointer<QWidget> widget;
        const ControlClass *cls;
        double value;
    };
    std::vector<Showing> showing;
    // What the status strips show, taken under the lock, then shown without
    // it (refresh_strips).
    struct StripUpdate {
        QPointer<StatusStrip> strip;
        StripState state;
    };
    std::vector<StripUpdate> strip_updates;
};

// Whether the calling thread is the engine's event-loop thread.
bool on_loop_thread(const Engine &engine);

// The engine once InitRuntimeEx succeeded, else null.
Engine *current_engine();

// Reads the settings, checks the display and the port backend, and creates
// the application. Null after reporting when the engine cannot start.
Engine *start_engine();

// --- finding panels and controls -------------------------------------------

// The loaded panel with `handle` whose window still exists, or null. From a
// tick, call these with the lock held.
Panel *find_panel(Engine &engine, int handle);

// Control `id` of that panel, of kind `kind` when one is given and with its
// widget still there, or null.
Control *find_control(Engine &engine, int handle, int id, std::optional<Kind> kind = {});

// find_panel and find_control for a service: what it names, or the fault
// saying what is not there (ERR_BAD_HANDLE or ERR_BAD_CONTROL_ID).
Fault lookup(Engine &engine, int handle, Panel *&panel);
Fault lookup(Engine &engine, int handle, int id, Kind kind, Control *&control);

// --- events -------------------------------------------------------------------

// Hands `event` to the callback of control `control` on panel `panel`, on the
// event-loop thread, with the lock held; never nesting: an event that arrives
// while a callback runs on this thread runs after that callback.
void dispatch(int panel, int control, int event);

// A tick of timer control `control` on panel `panel`: calls its callback. On
// the timer's thread, with the lock held (TickThread holds it).
void tick(Engine &engine, int panel, int control);

// Shows on their widgets the display values set during ticks that have not
// been shown yet. Event-loop thread.
void show_waiting_values(Engine &engine);

// Switches every timer off, then ends the running event loop with `code`, or
// makes the next one return at once. With the lock held, on any thread.
void request_quit(Engine &engine, int code);

// --- loading a panel ----------------------------------------------------------

// The file LoadPanel reads for the name `name`, looking in `first_dirs`
// before the other places (see panel_file_candidates).
Fault locate_panel_file(const std::string &name, const std::vector<std::string> &first_dirs,
                        std::string &path);

// Reads the panel file at `path` whole (ERR_PANEL_FILE: missing, not a
// regular file, unreadable, empty, too large).
Fault read_panel_file(const std::string &path, QByteArray &data);

// Checks that `data` is a well-formed form document of sane size and depth
// before the form loader sees it, that it connects no signals, that its sizes
// are bounded and that every file it names is a regular file of bounded size
// (relative names resolved in `panel_dir`, the panel file's directory, as the
// form loader does, and for text also in the working directory)
// (ERR_NOT_A_PANEL).
Fault check_form_document(const QByteArray &data, const std::string &panel_dir);

// The program's function called `name`, for a control callback. Only
// C-linkage functions of the executable that holds the engine qualify, never
// library functions or the run-time's own entry points (ERR_BAD_CONTROL,
// saying "which ..." is wrong with the name).
Fault find_callback(std::string_view name, CtrlCallbackPtr &callback);

// What the panel file says about one control, checked. Nothing is acquired
// for it yet: no timer, no connection.
struct ControlDescription {
    const ControlClass *cls = nullptr;
    QWidget *widget = nullptr;          // in the form's widget tree
    CtrlCallbackPtr callback = nullptr; // null: the control raises no events
    std::string callback_name;
    std::chrono::nanoseconds period{}; // timers: the tick period, 0.1 ms to a day
};

// A form read into a panel: its widget tree, built but never shown, and its
// controls by id.
struct PanelDescription {
    std::unique_ptr<QWidget> root;
    std::map<int, ControlDescription> controls;
    // The form document the widgets came from, to quote a value as the file
    // wrote it; may be null.
    const QByteArray *document = nullptr;
};

// Reads the form `root` as panel `panel_id` and checks every control,
// acquiring nothing. `description` owns `root` from the call on.
Fault describe_panel(std::unique_ptr<QWidget> root, int panel_id, PanelDescription &description);

// Makes a described panel live: creates its timers, wires its signals, sets
// its title and registers it under a new `handle`. When a timer cannot be
// had, the panel goes away whole and the engine is as it was. Event-loop
// thread.
Fault activate_panel(Engine &engine, PanelDescription description, int &handle);

// Loads panel `panel_id` from the panel file named `name`: every step from
// finding the file to activation.
Fault load_panel(Engine &engine, const std::string &name, int panel_id, int &handle);

// --- what the operator sees besides the form ------------------------------------

// Makes the port monitor mark the status strips' frame after every access
// that changed what they show, and adds the strips to the frame's clients
// (status.cpp). At start-up, before any panel.
void watch_ports(Engine &engine);

// Adds a status strip to `panel` below what its form lays out; its window
// grows by the strip's height. Event-loop thread, at activation.
void add_status_strip(Engine &engine, Panel &panel);

// Shows on every panel's strip what its timers and the port monitor say now:
// taken under the lock, shown without it. Event-loop thread, once per frame.
void refresh_strips(Engine &engine);

// Names every control that a form label is the buddy of by that label's text
// (mnemonic removed), unless the form names it itself, so a screen reader
// says "Port" and not the current entry (accessibility.cpp).
void name_from_labels(QWidget &root);

// Makes selectors tell assistive technology their accessible name (where Qt's
// own interface on Linux gives the current entry instead) and their entry as
// their value. At start-up.
void install_accessibility();

// --- safeguards ---------------------------------------------------------------

// Ends the event loop as QuitUserInterface(`code`) does, with every timer
// switched off first and no deferred event left to run: nothing more reaches
// the port.
void end_at_once(Engine &engine, int code);

// Ends the program as Quit does when another X client destroys a panel's
// window (window_guard.cpp).
void install_window_guard(Engine &engine);

// Keeps `window` within the available area of its screen, whatever size its
// form or its layout asks for.
void fit_to_screen(QWidget &window);

// Ignores SIGPIPE, and makes SIGTERM, SIGINT and SIGHUP end the event loop
// at once (signals.cpp).
Fault watch_signals(Engine &engine);

// The signal that ended the event loop, 0 when none did. RunUserInterface
// then ends the process with 128 + that number.
int ending_signal();

// The keys button `widget` answers: its shortcut (the mnemonic of its text)
// and those its stelmoKeys property lists, which are checked here
// (ERR_BAD_CONTROL naming `ctrl`: stelmoKeys on a widget that is no button,
// or not a list of keys, quoted as `document` writes it) (keys.cpp).
Fault button_keys(const QWidget *widget, const std::string &ctrl,
                  std::vector<QKeyCombination> &keys, const QByteArray *document = nullptr);

// Refuses a described panel in which two buttons answer the same key.
Fault check_keys(const PanelDescription &description);

// Makes every button's keys click it from any window of the program, also
// while a popup is open, and a mouse press on a button close an open popup
// and click the button.
void install_key_filter(Engine &engine);

// `text` for a report line (see printable()).
std::string shown(const QString &text);

// `object`'s name between quotes, for a report line.
std::string name_of(const QObject *object);

// The value of `object`'s property `property` for a report line, as the form
// document writes it: quoted when it is a string; a number as written, since
// the form loader reads "abc" as 0, "1e400" as inf and "2147483648" as 0.
// As the widget holds it when there is no document, or it does not say
// clearly (two widgets of that name).
std::string written(const QByteArray *document, const QObject *object, const char *property);

} // namespace stelmo::engine
