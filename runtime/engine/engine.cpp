// The program's services on the engine: panels, controls, callbacks and the
// event loop. Every service runs on the thread that started the engine (the
// event-loop thread); callbacks run there too, one at a time.
#include "runtime/engine/engine_qt.h"
#include "runtime/engine/internal.h"

#include "runtime/report.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLCDNumber>
#include <QThread>

#include <cmath>
#include <exception>
#include <mutex>
#include <set>

namespace stelmo::engine {

namespace {

// A service that goes wrong once usually goes wrong on every tick; the first
// report says it, the rest would only bury stderr.
void report_once(const std::string &message)
{
    static std::mutex guard; // a service called from a wrong thread reports too
    static std::set<std::string> said;
    constexpr std::size_t SAID_MAX = 256;
    const std::lock_guard lock(guard);
    if (said.count(message) || said.size() >= SAID_MAX)
        return;
    said.insert(message);
    report(message);
}

// The engine for a service call from this thread, or null with `code` set.
Engine *serving(const char *service, int &code)
{
    Engine *engine = current_engine();
    if (!engine) {
        report_once(std::string(service) + ": the engine has not been started (InitRuntimeEx)");
        code = ERR_NO_ENGINE;
        return nullptr;
    }
    if (QThread::currentThread() != engine->app->thread()) {
        report_once(std::string(service) +
                    ": called from a thread other than the one that started the engine");
        code = ERR_NO_ENGINE;
        return nullptr;
    }
    return engine;
}

const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::button:
        return "command button";
    case Kind::selector:
        return "selector";
    case Kind::display:
        return "numeric display";
    case Kind::timer:
        return "timer control";
    }
    return "control";
}

// Control `id` of kind `kind` on the panel with `handle`, or null with `code`
// set and reported.
Control *find_control(const char *service, Engine &engine, int handle, int id, Kind kind, int &code)
{
    Panel *panel = find_panel(engine, handle);
    if (!panel) {
        report_once(std::string(service) + ": no panel with handle " + std::to_string(handle));
        code = ERR_BAD_HANDLE;
        return nullptr;
    }
    const auto it = panel->controls.find(id);
    if (it == panel->controls.end() || it->second.kind != kind || !it->second.widget) {
        report_once(std::string(service) + ": panel " + std::to_string(handle) + " has no " +
                    kind_name(kind) + " with id " + std::to_string(id));
        code = ERR_BAD_CONTROL_ID;
        return nullptr;
    }
    return &it->second;
}

std::string number(double value)
{
    return QString::number(value, 'g', 10).toStdString();
}

void run_deferred();

// Calls a control's callback with the dispatching guard set.
void call(Engine &engine, int handle, Control &control, int event)
{
    const CtrlCallbackPtr callback = control.callback;
    const int id = control.id;
    if (event == EVENT_TIMER_TICK && control.timer)
        control.timer->count_tick();
    engine.dispatching = true;
    engine.ticking = event == EVENT_TIMER_TICK;
    try {
        callback(handle, id, event, nullptr, 0, 0);
    } catch (const std::exception &e) {
        report_once("callback " + control.callback_name + " of control " + std::to_string(id) +
                    " failed: " + e.what());
    } catch (...) {
        report_once("callback " + control.callback_name + " of control " + std::to_string(id) +
                    " failed");
    }
    engine.dispatching = false;
    engine.ticking = false;
    if (!engine.deferred.empty())
        QMetaObject::invokeMethod(engine.app, &run_deferred, Qt::QueuedConnection);
}

// Hands `value` to a display's widget. Formatting and laying out the text
// allocates, which is why ticks leave this to the next frame.
void show_value(Control &control, double value)
{
    if (auto *spin = qobject_cast<QDoubleSpinBox *>(control.widget.data()))
        spin->setValue(value);
    else if (auto *lcd = qobject_cast<QLCDNumber *>(control.widget.data()))
        lcd->display(value);
}

void run_deferred()
{
    Engine *engine = current_engine();
    if (!engine || engine->dispatching)
        return; // the callback that is running posts again when it ends
    while (!engine->deferred.empty() && !engine->dispatching) {
        const Deferred next = engine->deferred.front();
        engine->deferred.pop_front();
        dispatch(next.panel, next.control, next.event);
    }
}

} // namespace

std::string shown(const QString &text)
{
    constexpr int SHOWN_MAX = 160;
    QString out;
    int count = 0;
    for (const char32_t c : text.toUcs4()) {
        if (++count > SHOWN_MAX) {
            out += QStringLiteral("...");
            break;
        }
        if (QChar::isPrint(c))
            out += QString::fromUcs4(&c, 1);
        else
            out += QLatin1Char('?');
    }
    return out.toStdString();
}

std::string shown(std::string_view bytes)
{
    return shown(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

Panel::~Panel()
{
    watcher.reset(); // taking the window down is not the operator closing it
    for (auto &[id, control] : controls)
        control.timer.reset();
    delete root.data();
}

Panel *find_panel(Engine &engine, int handle)
{
    const auto it = engine.panels.find(handle);
    if (it == engine.panels.end() || !it->second->root)
        return nullptr;
    return it->second.get();
}

void dispatch(int handle, int control_id, int event)
{
    Engine *engine = current_engine();
    if (!engine)
        return;
    Panel *panel = find_panel(*engine, handle);
    if (!panel)
        return;
    const auto it = panel->controls.find(control_id);
    if (it == panel->controls.end() || !it->second.callback)
        return;
    Control &control = it->second;

    if (engine->dispatching) {
        // Something pumped events inside a callback. A tick is dropped (the
        // next one comes a period later); anything else runs once the
        // callback has ended, so no operator action is lost.
        if (event == EVENT_TIMER_TICK) {
            if (control.timer)
                control.timer->count_missed(1);
        } else {
            engine->deferred.push_back({handle, control_id, event});
        }
        return;
    }
    call(*engine, handle, control, event);
}

void show_waiting_values(Engine &engine)
{
    for (auto &[handle, panel] : engine.panels)
        for (auto &[id, control] : panel->controls)
            if (control.value_waiting) {
                control.value_waiting = false;
                if (control.widget)
                    show_value(control, *control.value);
            }
}

void request_quit(Engine &engine, int code)
{
    engine.quit_requested = true;
    engine.quit_code = code;
    if (engine.running)
        QCoreApplication::exit(code); // the loop returns once the current event is done
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
    if (!engine)
        return false;
    Panel *p = find_panel(*engine, panel);
    if (!p)
        return false;
    const auto it = p->controls.find(control);
    if (it == p->controls.end() || !it->second.timer)
        return false;
    const TickTimer &timer = *it->second.timer;
    counts.enabled = timer.enabled();
    counts.interval_ms = timer.interval_ms();
    counts.ticks = timer.ticks();
    counts.missed = timer.missed();
    return true;
}

QWidget *panel_widget(int panel)
{
    Engine *engine = current_engine();
    if (!engine)
        return nullptr;
    Panel *p = find_panel(*engine, panel);
    return p ? p->root.data() : nullptr;
}

QWidget *control_widget(int panel, int control)
{
    Engine *engine = current_engine();
    if (!engine)
        return nullptr;
    Panel *p = find_panel(*engine, panel);
    if (!p)
        return nullptr;
    const auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : it->second.widget.data();
}

} // namespace stelmo::engine

using namespace stelmo::engine;
using stelmo::report;

extern "C" int InitRuntimeEx(int, char **, int)
{
    // The program's arguments are its own: the engine reads none of them.
    if (current_engine())
        return 1;
    return start_engine() ? 1 : 0;
}

extern "C" int LoadPanel(int parent, const char *file, int panel)
{
    int code = 0;
    Engine *engine = serving("LoadPanel", code);
    if (!engine)
        return code;
    if (parent != 0) {
        report("LoadPanel: panels have no parent panel (parent " + std::to_string(parent) +
               " given)");
        return ERR_BAD_ARGUMENT;
    }
    if (!file) {
        report("LoadPanel: no panel file named (null)");
        return ERR_BAD_ARGUMENT;
    }
    return load_panel(*engine, file, panel);
}

extern "C" int DisplayPanel(int panel)
{
    int code = 0;
    Engine *engine = serving("DisplayPanel", code);
    if (!engine)
        return code;
    Panel *p = find_panel(*engine, panel);
    if (!p) {
        report_once("DisplayPanel: no panel with handle " + std::to_string(panel));
        return ERR_BAD_HANDLE;
    }
    p->root->show();
    p->root->raise();
    p->root->activateWindow();
    if (engine->rig_view)
        engine->rig_view->show_beside(*p->root);
    return 0;
}

extern "C" int SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    int code = 0;
    Engine *engine = serving("SetCtrlAttribute", code);
    if (!engine)
        return code;
    if (!find_panel(*engine, panel)) {
        report_once("SetCtrlAttribute: no panel with handle " + std::to_string(panel));
        return ERR_BAD_HANDLE;
    }
    if (attribute != ATTR_TIMER_ENABLED) {
        report_once("SetCtrlAttribute: attribute " + std::to_string(attribute) +
                    " is not one the engine knows");
        return ERR_BAD_ARGUMENT;
    }
    Control *c = find_control("SetCtrlAttribute", *engine, panel, control, Kind::timer, code);
    if (!c)
        return code;
    c->timer->set_enabled(value != 0);
    return 0;
}

extern "C" int RunUserInterface(void)
{
    int code = 0;
    Engine *engine = serving("RunUserInterface", code);
    if (!engine)
        return code;
    if (engine->running) {
        report("RunUserInterface: the event loop is already running");
        return ERR_BAD_ARGUMENT;
    }
    if (!engine->quit_requested) {
        engine->running = true;
        engine->app->exec();
        engine->running = false;
    }
    // Ended by QuitUserInterface or by the panel window closing; anything
    // else that stops the loop counts as a plain end.
    const int result = engine->quit_requested ? engine->quit_code : 0;
    engine->quit_requested = false;
    engine->quit_code = 0;
    return result;
}

extern "C" int QuitUserInterface(int code)
{
    int failure = 0;
    Engine *engine = serving("QuitUserInterface", failure);
    if (!engine)
        return failure;
    request_quit(*engine, code);
    return 0;
}

extern "C" int GetCtrlIndex(int panel, int control, int *index)
{
    int code = 0;
    Engine *engine = serving("GetCtrlIndex", code);
    if (!engine)
        return code;
    Control *c = find_control("GetCtrlIndex", *engine, panel, control, Kind::selector, code);
    if (!c)
        return code;
    if (!index) {
        report_once("GetCtrlIndex: no place given for the index (null pointer)");
        return ERR_BAD_ARGUMENT;
    }
    *index = static_cast<QComboBox *>(c->widget.data())->currentIndex();
    return 0;
}

extern "C" int SetCtrlVal(int panel, int control, double value)
{
    int code = 0;
    Engine *engine = serving("SetCtrlVal", code);
    if (!engine)
        return code;
    Control *c = find_control("SetCtrlVal", *engine, panel, control, Kind::display, code);
    if (!c)
        return code;
    // Called on every tick: the message is built only when something is wrong.
    const auto refuse = [&](const std::string &why) {
        report_once("SetCtrlVal: control " + std::to_string(control) + " of panel " +
                    std::to_string(panel) + " cannot show " + number(value) + why);
        return ERR_BAD_ARGUMENT;
    };
    if (!std::isfinite(value))
        return refuse("");
    if (auto *spin = qobject_cast<QDoubleSpinBox *>(c->widget.data())) {
        if (value < spin->minimum() || value > spin->maximum())
            return refuse(" (its range is " + number(spin->minimum()) + " to " +
                          number(spin->maximum()) + ")");
    } else if (auto *lcd = qobject_cast<QLCDNumber *>(c->widget.data())) {
        if (lcd->checkOverflow(value))
            return refuse(" (more than its " + std::to_string(lcd->digitCount()) + " digits)");
    }
    const bool repeated = c->value == value;
    c->value = value;
    if (engine->ticking) {
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
    show_value(*c, value);
    return 0;
}
