// The program's services on the engine: panels, controls and the event loop,
// and what engine.h and engine_qt.h offer besides. Services run on the thread
// that started the engine (the event-loop thread), where button callbacks
// run, or inside a tick, on its timer's thread with the engine's lock held.
// Every service holds the lock while it reads or changes what ticks see, and
// those a tick may call (SetCtrlAttribute, GetCtrlAttribute,
// QuitUserInterface, GetCtrlIndex, SetCtrlVal) touch no widget when called
// from one.
#include "runtime/engine/bus.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/engine/panel_load.h"
#include "runtime/engine/safeguards.h"
#include "runtime/engine/state.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/config/translation.h"

#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace stelmo::engine {

namespace {

// Who may call a service: the event-loop thread only (it touches windows or
// runs the loop), or a tick as well.
enum class Callers { loop_thread, ticks_too };

// The engine, when a service may run: started, and called on the thread that
// started it, or (where `callers` allows) from a tick, that is a thread that
// holds the engine's lock.
Fault serving(Engine *&engine, Callers callers)
{
    engine = current_engine();
    if (!engine)
        return {ERR_NO_ENGINE,
                translate("stelmo", "the engine has not been started (InitRuntimeEx)")()};
    if (on_loop_thread(*engine))
        return {};
    if (!engine->lock.held_by_caller())
        return {ERR_NO_ENGINE, translate("stelmo", "called from a thread other than the one that "
                                                   "started the engine")()};
    if (callers == Callers::loop_thread)
        return {ERR_NO_ENGINE, translate("stelmo", "called from a timer tick; only the thread that "
                                                   "started the engine may do this")()};
    return {};
}

// A service asked about no panel, or no control (0 is a handle or an id the
// program may pass).
constexpr int NONE = std::numeric_limits<int>::min();
// How often the loop looks for repeated faults to sum up (ms); a summary is
// due at most every diagnostics::SUMMARY_INTERVAL.
constexpr int REPEATS_MS = 1000;

// The failure a code stands for, in a fault kind. Kinds stay as they are
// here in every language: counting a repeat must not translate.
const char *failure_name(int code)
{
    switch (code) {
    case ERR_BAD_HANDLE:
        return "no such panel";
    case ERR_BAD_CONTROL_ID:
        return "no such control";
    case ERR_BAD_ARGUMENT:
        return "bad argument";
    case ERR_LOOP_RUNNING:
        return "the event loop is already running";
    case ERR_PORT_GONE:
        return "the port hardware is gone";
    default:
        return "failed";
    }
}

// Says `fault` of `service`, asked about control `control` of panel `panel`
// (NONE: no such part), through the fault log, and returns its code. The
// kind is the service, what it was asked about and the failure, never the
// value, so a fault a tick makes again and again (a value a display cannot
// show) is said once and then counted, and a fault of another kind still gets
// its line. Refusals of the caller's thread name the thread's fault instead.
// Counting a repeat allocates nothing here.
int refuse(const char *service, int panel, int control, const Fault &fault)
{
    char kind[diagnostics::KIND_SHOWN_MAX];
    if (fault.code == ERR_NO_ENGINE)
        std::snprintf(kind, sizeof kind, "%s: %s", service, fault.text.c_str());
    else if (control != NONE)
        std::snprintf(kind, sizeof kind, "%s on control %d of panel %d: %s", service, control,
                      panel, failure_name(fault.code));
    else if (panel != NONE)
        std::snprintf(kind, sizeof kind, "%s on panel %d: %s", service, panel,
                      failure_name(fault.code));
    else
        std::snprintf(kind, sizeof kind, "%s: %s", service, failure_name(fault.code));
    diagnostics::fault(kind, [&] { return std::string(service) + ": " + fault.text; });
    return fault.code;
}

// The timer control `control` of `panel` for an attribute service: the
// panel, then the attribute (only a timer's switch is known), then the control.
Fault timer_attribute(Engine &engine, int panel, int control, int attribute, Control *&c)
{
    Panel *p = nullptr;
    Fault fault = lookup(engine, panel, p);
    if (!fault && attribute != ATTR_TIMER_ENABLED)
        fault = {ERR_BAD_ARGUMENT,
                 translate("stelmo", "attribute %1 is not one the engine knows")(attribute)};
    if (!fault)
        fault = lookup(engine, panel, control, Kind::timer, c);
    return fault;
}

} // namespace

std::string shown(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return printable(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

const std::string &backend_description()
{
    static const std::string none;
    Engine *engine = current_engine();
    return engine ? engine->setup.description : none;
}

ports::SimRig *simulated_rig()
{
    Engine *engine = current_engine();
    return engine ? engine->setup.rig : nullptr;
}

bool timer_counts(int panel, int control, TimerCounts &counts)
{
    Engine *engine = current_engine();
    const Control *c = engine ? find_control(*engine, panel, control, Kind::timer) : nullptr;
    if (!c)
        return false;
    counts.enabled = c->timer->enabled();
    counts.interval_ms = std::chrono::duration<double, std::milli>(c->timer->period()).count();
    counts.ticks = c->timer->ticks();
    counts.missed = c->timer->missed();
    return true;
}

std::vector<int> control_ids(int panel)
{
    Engine *engine = current_engine();
    const Panel *p = engine ? find_panel(*engine, panel) : nullptr;
    std::vector<int> ids;
    if (p) {
        for (const auto &[id, control] : p->controls)
            ids.push_back(id);
    }
    return ids;
}

CtrlCallbackPtr control_callback(int panel, int control)
{
    Engine *engine = current_engine();
    const Control *c = engine ? find_control(*engine, panel, control) : nullptr;
    return c ? c->callback : nullptr;
}

bool discard_panel(int panel)
{
    Engine *engine = current_engine();
    if (!engine)
        return false;
    const auto it = engine->panels.find(panel);
    if (it == engine->panels.end())
        return false;
    // Its ticks end first (waiting for one that runs), then it leaves the
    // table under the lock, then its widgets go, without the lock.
    for (auto &[id, control] : it->second->controls)
        if (control.timer)
            control.timer->stop();
    std::unique_ptr<Panel> gone;
    {
        const HoldUnlessHeld hold(engine->lock);
        gone = std::move(it->second);
        engine->panels.erase(it);
    }
    return true;
}

std::string tick_scheduling()
{
    Engine *engine = current_engine();
    return engine ? engine->tick_scheduling : std::string();
}

QWidget *panel_widget(int panel)
{
    Engine *engine = current_engine();
    Panel *p = engine ? find_panel(*engine, panel) : nullptr;
    return p ? p->root.data() : nullptr;
}

QWidget *control_widget(int panel, int control)
{
    Engine *engine = current_engine();
    Control *c = engine ? find_control(*engine, panel, control) : nullptr;
    return c ? c->widget.data() : nullptr;
}

} // namespace stelmo::engine

using namespace stelmo::engine;
using stelmo::HoldUnlessHeld;
using stelmo::report;
using stelmo::translate;

extern "C" int InitRuntimeEx(int, char **, int)
{
    // The program's arguments are its own: the engine reads none of them.
    if (current_engine())
        return 1;
    return start_engine() ? 1 : 0;
}

extern "C" int LoadPanel(int parent, const char *file, int panel)
{
    Engine *engine = nullptr;
    if (Fault fault = serving(engine, Callers::loop_thread))
        return refuse("LoadPanel", NONE, NONE, fault);
    Fault fault;
    int handle = 0;
    if (parent != 0)
        fault = {ERR_BAD_ARGUMENT,
                 translate("stelmo",
                           "LoadPanel: panels have no parent panel (parent %1 given)")(parent)};
    else if (!file)
        fault = {ERR_BAD_ARGUMENT, translate("stelmo", "LoadPanel: no panel file named (null)")()};
    else if (!*file)
        fault = {ERR_BAD_ARGUMENT, translate("stelmo", "LoadPanel: no panel file named")()};
    else
        fault = load_panel(*engine, file, panel, handle);
    if (!fault)
        return handle;
    // Each load is its own attempt: every failure is said. Loading the first
    // panel is part of the program's start-up, and fails as start-up does.
    if (engine->next_handle == 1)
        report_start_failure(fault.text);
    else
        report(fault.text);
    return fault.code;
}

extern "C" int DisplayPanel(int panel)
{
    Engine *engine = nullptr;
    Panel *p = nullptr;
    Fault fault = serving(engine, Callers::loop_thread);
    if (!fault)
        fault = lookup(*engine, panel, p);
    if (fault)
        return refuse("DisplayPanel", panel, NONE, fault);
    fit_to_screen(*p->root);
    p->root->show();
    p->root->raise();
    p->root->activateWindow();
    if (engine->rig_view)
        engine->rig_view->show_beside(*p->root);
    return 0;
}

extern "C" int SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    Engine *engine = nullptr;
    Control *c = nullptr;
    Fault fault = serving(engine, Callers::ticks_too);
    if (fault)
        return refuse("SetCtrlAttribute", panel, control, fault);
    // Outside a callback (main before the loop) the lock is taken here: a
    // timer switched off under it ticks no more.
    const HoldUnlessHeld hold(engine->lock);
    fault = timer_attribute(*engine, panel, control, attribute, c);
    if (!fault && value != 0 && engine->hardware_gone)
        fault = {ERR_PORT_GONE, translate("stelmo", "the port hardware is gone; no timer is "
                                                    "switched on until stelmo is started again")()};
    if (fault)
        return refuse("SetCtrlAttribute", panel, control, fault);
    c->timer->set_enabled(value != 0);
    if (value != 0)
        engine->stopped_by = StopCause::none; // Start: the engine's last stop is over
    if (value != 0 && on_loop_thread(*engine))
        watch_window_again();
    engine->frames->mark(engine->strips); // the strip says Running or Stopped
    return 0;
}

// The timer's switch as ticks see it: off after the program's Stop, after
// Quit, and after any stop the engine makes by itself.
extern "C" int GetCtrlAttribute(int panel, int control, int attribute, int *value)
{
    Engine *engine = nullptr;
    Control *c = nullptr;
    Fault fault = serving(engine, Callers::ticks_too);
    if (fault)
        return refuse("GetCtrlAttribute", panel, control, fault);
    const HoldUnlessHeld hold(engine->lock);
    fault = timer_attribute(*engine, panel, control, attribute, c);
    if (!fault && !value)
        fault = {ERR_BAD_ARGUMENT,
                 translate("stelmo", "no place given for the value (null pointer)")()};
    if (fault)
        return refuse("GetCtrlAttribute", panel, control, fault);
    *value = c->timer->enabled() ? 1 : 0;
    return 0;
}

extern "C" int RunUserInterface(void)
{
    Engine *engine = nullptr;
    Fault fault = serving(engine, Callers::loop_thread);
    if (fault)
        return refuse("RunUserInterface", NONE, NONE, fault);
    bool run = false;
    {
        const HoldUnlessHeld hold(engine->lock);
        if (engine->running)
            fault = {ERR_LOOP_RUNNING, translate("stelmo", "the event loop is already running")()};
        run = !fault && !engine->quit_requested;
        engine->running = engine->running || run;
    }
    if (fault)
        return refuse("RunUserInterface", NONE, NONE, fault);
    if (run) {
        serve_on_bus(*engine); // once, as the first loop starts
        // Repeated faults are summed up while the loop runs (and at exit).
        QTimer repeats;
        QObject::connect(&repeats, &QTimer::timeout, [] { stelmo::diagnostics::flush_repeats(); });
        repeats.start(REPEATS_MS);
        // Ticks stop when the loop or the display stops answering.
        const std::unique_ptr<QObject> watchdog = watch_window(*engine);
        engine->app->exec();
    }
    // A signal ends the process here, with every timer already off: the
    // program's main would return 0.
    if (const int signal = ending_signal())
        std::exit(128 + signal);
    // Ended by QuitUserInterface or by the panel window closing; anything
    // else that stops the loop counts as a plain end.
    const HoldUnlessHeld hold(engine->lock);
    if (run)
        engine->running = false;
    const int result = engine->quit_requested ? engine->quit_code : 0;
    engine->quit_requested = false;
    engine->quit_code = 0;
    return result;
}

extern "C" int QuitUserInterface(int code)
{
    Engine *engine = nullptr;
    if (Fault fault = serving(engine, Callers::ticks_too))
        return refuse("QuitUserInterface", NONE, NONE, fault);
    const HoldUnlessHeld hold(engine->lock);
    request_quit(*engine, code);
    return 0;
}

// From a tick the index comes from the control's mirror, which follows the
// widget on the event-loop thread; so it does from the loop thread too.
extern "C" int GetCtrlIndex(int panel, int control, int *index)
{
    Engine *engine = nullptr;
    Control *c = nullptr;
    Fault fault = serving(engine, Callers::ticks_too);
    if (fault)
        return refuse("GetCtrlIndex", panel, control, fault);
    const HoldUnlessHeld hold(engine->lock);
    fault = lookup(*engine, panel, control, Kind::selector, c);
    if (!fault && !index)
        fault = {ERR_BAD_ARGUMENT,
                 translate("stelmo", "no place given for the index (null pointer)")()};
    if (fault)
        return refuse("GetCtrlIndex", panel, control, fault);
    *index = c->index;
    note_index_read(*engine, control, c->index); // the run state: a jog tick reads the direction
    return 0;
}

// Called on every tick: nothing allocates unless something is wrong, and
// from a tick no widget is touched.
extern "C" int SetCtrlVal(int panel, int control, double value)
{
    Engine *engine = nullptr;
    Control *c = nullptr;
    Fault fault = serving(engine, Callers::ticks_too);
    if (fault)
        return refuse("SetCtrlVal", panel, control, fault);
    const HoldUnlessHeld hold(engine->lock);
    fault = lookup(*engine, panel, control, Kind::display, c);
    if (!fault && !(std::isfinite(value) && c->cls->fits(c->limits, value)))
        fault = {ERR_BAD_ARGUMENT,
                 std::isfinite(value)
                     ? translate("stelmo", "control %1 of panel %2 cannot show %3 (%4)")(
                           control, panel, number(value), c->cls->range(c->limits))
                     : translate("stelmo", "control %1 of panel %2 cannot show %3")(control, panel,
                                                                                    number(value))};
    if (fault)
        return refuse("SetCtrlVal", panel, control, fault);
    const bool repeated = c->value == value;
    c->value = value;
    note_value_shown(*engine); // the run state: a jog tick shows the position
    if (!repeated)
        note_bus_change(*engine); // a script reads what the display shows
    if (!on_loop_thread(*engine)) {
        // A tick only notes the value; the widget gets it at the end of the
        // frame, the last value of the frame winning. No one can read faster
        // than the screen shows, and the tick path stays free of allocation.
        // A value the program set before changes nothing.
        if (!repeated) {
            c->value_waiting = true;
            engine->frames->mark(engine->displays);
        }
        return 0;
    }
    c->value_waiting = false;
    c->cls->show(c->widget.data(), value);
    return 0;
}
