// Shared by the engine's sources: the engine state, its panels and their
// controls. Everything here lives on the event-loop thread.
#pragma once

#include "runtime/clock/frame_pacer.h"
#include "runtime/clock/tick_timer.h"
#include "runtime/engine/engine.h"
#include "runtime/ports/ports.h"
#include "runtime/view/rig_view.h"

#include <QApplication>
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace stelmo::engine {

// What a control is, from its widget class.
enum class Kind {
    button,   // QAbstractButton: a click is a commit event
    selector, // QComboBox: the program reads the current index
    display,  // QDoubleSpinBox or QLCDNumber: the program shows a number
    timer,    // plain QWidget with stelmoInterval: ticks at its interval
};

struct Control {
    int id = 0;
    Kind kind = Kind::button;
    QPointer<QWidget> widget; // owned by the panel's widget tree
    CtrlCallbackPtr callback = nullptr;
    std::string callback_name;
    std::unique_ptr<TickTimer> timer; // timer controls only
    bool start_on = true;             // timer running once the panel is loaded
    // Displays only: the value the program last set, and whether it still
    // waits for the next frame to reach the widget (set during a tick).
    std::optional<double> value;
    bool value_waiting = false;
};

struct Panel {
    ~Panel();

    int handle = 0;
    QPointer<QWidget> root;           // the window; null once it was destroyed
    std::unique_ptr<QObject> watcher; // ends the loop when the window closes
    std::map<int, Control> controls;  // by control id
};

// An event for a callback that arrived while another callback ran.
struct Deferred {
    int panel;
    int control;
    int event;
};

struct Engine {
    QApplication *app = nullptr;
    ports::Setup setup; // alive for the whole process: inp/outp use its backend
    // Refreshes what ticks changed on screen once per frame: values set on
    // displays during ticks, and the rig view.
    std::unique_ptr<FramePacer> frames;
    FramePacer::Client displays = 0;              // the panels' displays among the frame's clients
    std::unique_ptr<RigView> rig_view;            // the "Simulated rig" window, when shown
    std::map<int, std::unique_ptr<Panel>> panels; // by handle
    int next_handle = 1;
    bool dispatching = false; // a callback is running
    bool ticking = false;     // ... and it was called for a timer tick
    std::deque<Deferred> deferred;
    bool running = false; // RunUserInterface is in the event loop
    bool quit_requested = false;
    int quit_code = 0;
};

// The engine once InitRuntimeEx succeeded, else null.
Engine *current_engine();

// Checks the display and the port backend and creates the application.
// Null after reporting when the engine cannot start.
Engine *start_engine();

// Reads the panel file at `path` whole. False with `error` set to the fault
// (missing, not a regular file, unreadable, empty, too large).
bool read_panel_file(const std::string &path, QByteArray &data, std::string &error);

// Checks that `data` is a well-formed form document of sane size and depth
// before the form loader sees it. False with `error` set.
bool check_form_document(const QByteArray &data, std::string &error);

// Loads panel `panel_id` from `file`: a new handle, or a failure code after
// one report line. A failure leaves nothing behind.
int load_panel(Engine &engine, const char *file, int panel_id);

// A loaded panel whose window still exists, or null.
Panel *find_panel(Engine &engine, int handle);

// Hands `event` to the callback of control `control` on panel `panel`, never
// nesting: a tick that arrives while a callback runs is dropped, any other
// event runs after that callback.
void dispatch(int panel, int control, int event);

// Shows on their widgets the display values set during ticks that have not
// been shown yet.
void show_waiting_values(Engine &engine);

// Ends the running event loop with `code`, or makes the next one return at
// once.
void request_quit(Engine &engine, int code);

// `text` cut to a sane length with control characters replaced, for a report
// line.
std::string shown(const QString &text);
std::string shown(std::string_view bytes);

} // namespace stelmo::engine
