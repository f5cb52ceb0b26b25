// Finding panels and controls, and handing events to the program's
// callbacks: one at a time, with the engine's lock held, never nested.
#include "runtime/engine/state.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <exception>

namespace stelmo::engine {

namespace {

void run_deferred();

// The one place that calls into the program: control `control`'s callback
// with `event`. The caller holds the engine's lock. What the callback throws
// is reported, never passed on into the event loop or the tick thread. What
// the call did tells the run state (run_state.h).
void call(Engine &engine, int handle, Control &control, int event)
{
    const CtrlCallbackPtr callback = control.callback;
    const int id = control.id;
    // What failed is the callback of one control, whatever it threw: a
    // callback that throws on every tick is said once, then counted.
    const auto failed = [&](const std::string &why) {
        const std::string kind = "callback " + control.callback_name + " of control " +
                                 std::to_string(id) + " of panel " + std::to_string(handle) +
                                 " failed";
        diagnostics::fault(kind, [&] {
            const std::string &name = control.callback_name;
            return why.empty()
                       ? translate("stelmo",
                                   "callback %1 of control %2 of panel %3 failed")(name, id, handle)
                       : translate("stelmo", "callback %1 of control %2 of panel %3 failed: %4")(
                             name, id, handle, why);
        });
    };
    call_begins(engine);
    try {
        callback(handle, id, event, nullptr, 0, 0);
    } catch (const std::exception &e) {
        failed(printable(e.what()));
    } catch (...) {
        failed({});
    }
    call_ended(engine, control, event);
}

void run_deferred()
{
    Engine *engine = current_engine();
    if (!engine || engine->lock.held_by_caller())
        return; // the callback that is running posts again when it ends
    while (!engine->deferred.empty() && !engine->lock.held_by_caller()) {
        const Deferred next = engine->deferred.front();
        engine->deferred.pop_front();
        dispatch(next.panel, next.control, next.event);
    }
}

} // namespace

bool on_loop_thread(const Engine &engine)
{
    return pthread_equal(pthread_self(), engine.loop_thread) != 0;
}

Panel::~Panel()
{
    watcher.reset(); // taking the window down is not the operator closing it
    // Stopped before the widgets go: no tick runs once the threads are joined.
    for (auto &[id, control] : controls)
        control.timer.reset();
    delete root.data();
}

// The QPointers are the event-loop thread's; a tick goes by the flags, which
// change under the lock when a widget is destroyed.
Panel *find_panel(Engine &engine, int handle)
{
    const auto it = engine.panels.find(handle);
    if (it == engine.panels.end() || !it->second->alive ||
        (on_loop_thread(engine) && !it->second->root))
        return nullptr;
    return it->second.get();
}

Control *find_control(Engine &engine, int handle, int id, std::optional<Kind> kind)
{
    Panel *panel = find_panel(engine, handle);
    if (!panel)
        return nullptr;
    const auto it = panel->controls.find(id);
    if (it == panel->controls.end())
        return nullptr;
    Control &control = it->second;
    if (!control.alive || (on_loop_thread(engine) && !control.widget) ||
        (kind && control.cls->kind != kind))
        return nullptr;
    return &control;
}

Fault lookup(Engine &engine, int handle, Panel *&panel)
{
    panel = find_panel(engine, handle);
    if (!panel)
        return {ERR_BAD_HANDLE, translate("stelmo", "no panel with handle %1")(handle)};
    return {};
}

Fault lookup(Engine &engine, int handle, int id, Kind kind, Control *&control)
{
    control = find_control(engine, handle, id, kind);
    if (control)
        return {};
    Panel *panel = nullptr;
    if (Fault fault = lookup(engine, handle, panel))
        return fault;
    return {ERR_BAD_CONTROL_ID, translate("stelmo", "panel %1 has no %2 with id %3")(
                                    handle, translate("stelmo", kind_name(kind))(), id)};
}

void dispatch(int handle, int control_id, int event)
{
    Engine *engine = current_engine();
    if (!engine)
        return;
    if (engine->lock.held_by_caller()) {
        // Something pumped events inside a callback on this thread: the
        // event runs once that callback has ended, so no operator action is
        // lost and callbacks never nest.
        const Control *control = find_control(*engine, handle, control_id);
        if (control && control->callback)
            engine->deferred.push_back({handle, control_id, event});
        return;
    }
    {
        // A tick running now ends first.
        const std::lock_guard hold(engine->lock);
        if (Control *control = find_control(*engine, handle, control_id);
            control && control->callback)
            call(*engine, handle, *control, event);
    }
    if (!engine->deferred.empty())
        QMetaObject::invokeMethod(engine->app, &run_deferred, Qt::QueuedConnection);
}

void tick(Engine &engine, int handle, int control_id)
{
    if (stopped_before_tick(engine))
        return;
    if (Control *control = find_control(engine, handle, control_id, Kind::timer);
        control && control->callback)
        call(engine, handle, *control, EVENT_TIMER_TICK);
}

void show_waiting_values(Engine &engine)
{
    // Taken under the lock, shown without it: a tick never waits for a widget.
    engine.showing.clear();
    {
        const HoldUnlessHeld hold(engine.lock);
        for (auto &[handle, panel] : engine.panels)
            for (auto &[id, control] : panel->controls)
                if (control.value_waiting) {
                    control.value_waiting = false;
                    engine.showing.push_back({control.widget, control.cls, *control.value});
                }
    }
    for (const Engine::Showing &waiting : engine.showing)
        if (waiting.widget)
            waiting.cls->show(waiting.widget.data(), waiting.value);
}

void request_quit(Engine &engine, int code)
{
    // No tick after this: every timer is off before the loop ends.
    stop_every_timer(engine, StopCause::ending);
    engine.quit_requested = true;
    engine.quit_code = code;
    if (!engine.running)
        return;
    if (on_loop_thread(engine)) {
        QCoreApplication::exit(code); // the loop returns once the current event is done
        return;
    }
    // From a tick: the loop thread ends its own loop, unless that loop ended
    // meanwhile for another reason.
    Engine *self = &engine;
    QMetaObject::invokeMethod(
        engine.app,
        [self] {
            const HoldUnlessHeld hold(self->lock);
            if (self->running && self->quit_requested)
                QCoreApplication::exit(self->quit_code);
        },
        Qt::QueuedConnection);
}

} // namespace stelmo::engine
