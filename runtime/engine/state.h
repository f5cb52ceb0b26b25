// The engine's state: its panels and their controls, and how ticks and
// events reach the program.
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
#pragma once

#include "runtime/clock/callback_lock.h"
#include "runtime/clock/frame_pacer.h"
#include "runtime/clock/tick_thread.h"
#include "runtime/engine/controls.h"
#include "runtime/engine/engine.h"
#include "runtime/engine/run_state.h"
#include "runtime/engine/settings.h"
#include "runtime/ports/ports.h"
#include "runtime/services.h"
#include "runtime/view/rig_view.h"
#include "runtime/view/status_strip.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pthread.h>

namespace stelmo::engine {

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

// Why the engine itself switched every timer off: its own stop, not the
// program's (safeguards.h).
enum class StopCause {
    none,
    escape,   // the operator pressed Esc
    window,   // the window or the display did not answer (watchdog.cpp)
    hardware, // the port hardware is gone (the port helper died)
    no_home,  // the reference run made homing-limit steps without the home switch
    ending,   // the program ends (Quit, a closed window, an end signal)
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
    // What the motor is doing, as the program's calls showed it (run_state.h).
    // Under the lock.
    RunWatching run;
    // The port trace was told the backend and the tick interval.
    bool run_info_given = false;
    // The engine's own stops (stopping.cpp). Under the lock: why it last
    // switched every timer off, until one is switched on again (what the
    // strips say), and whether the hardware is gone, after which no timer
    // may be switched on again.
    StopCause stopped_by = StopCause::none;
    bool hardware_gone = false;
    // A stop asked for where the lock cannot be waited for (a signal
    // handler): the next tick carries it out. Lock-free.
    std::atomic<bool> stop_asked{false};
    // The window's last sign of life on the watchdog's clock (ns), while
    // RunUserInterface watches it; 0: not watched (watchdog.cpp).
    std::atomic<std::int64_t> window_alive{0};
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

// Says a start-up failure: the report line and, when standard error is not
// a terminal and a display can be reached, a message window with the same
// words and what to do, which waits for the operator (start.cpp).
void report_start_failure(const std::string &text);

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

// Ends the event loop as QuitUserInterface(`code`) does, with every timer
// switched off first and no deferred event left to run: nothing more reaches
// the port.
void end_at_once(Engine &engine, int code);

// --- the engine's own stops (stopping.cpp, watchdog.cpp) -----------------------

// Switches every timer of every panel off, as the program's Stop does,
// whatever the panel file says, and notes `cause` for the strips; says why
// in the fault log when the operator did not ask for it (a window that did
// not answer, hardware gone). With the lock held, or on the event-loop
// thread, which takes it.
void stop_every_timer(Engine &engine, StopCause cause);

// What a tick checks first, with the lock held: a stop asked for without
// the lock, and the watchdog. True when the engine stopped every timer, and
// the tick must not reach the program.
bool stopped_before_tick(Engine &engine);

// For the strips: why the engine stopped the timers ("the window did not
// answer"); empty when it did not, or the operator did. Under the lock.
QString stop_note(const Engine &engine);

// For the strips: what to check about it, for the reason's tooltip; empty
// when there is nothing to check. Under the lock.
QString stop_hint(const Engine &engine);

// Watches the window while RunUserInterface runs its loop and a timer is on:
// a heartbeat on the event-loop thread, and on X11 a round trip to the
// display, which ticks check (stopped_before_tick). Stops watching when
// destroyed.
std::unique_ptr<QObject> watch_window(Engine &engine);

// A timer was switched on from the event-loop thread: the window counts as
// answering now, and the heartbeat goes on if it rested.
void watch_window_again();

// Makes the engine stop every timer when the port hardware is gone, and
// refuse to switch one on again. At start-up.
void watch_hardware(Engine &engine);

} // namespace stelmo::engine
