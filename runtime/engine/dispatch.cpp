// Finding panels and controls, and handing events to the program's
// callbacks: one at a time, never nested.
#include "runtime/engine/internal.h"

#include "runtime/services.h"

#include <exception>

namespace stelmo::engine {

namespace {

void run_deferred();

// The one place that calls into the program: control `control`'s callback
// with `event`, with the dispatching guard set. What the callback throws is
// reported, never passed on into the event loop.
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

Control *find_control(Engine &engine, int handle, int id, std::optional<Kind> kind)
{
    Panel *panel = find_panel(engine, handle);
    if (!panel)
        return nullptr;
    const auto it = panel->controls.find(id);
    if (it == panel->controls.end() || !it->second.widget || (kind && it->second.cls->kind != kind))
        return nullptr;
    return &it->second;
}

Fault lookup(Engine &engine, int handle, Panel *&panel)
{
    panel = find_panel(engine, handle);
    if (!panel)
        return {ERR_BAD_HANDLE, "no panel with handle " + std::to_string(handle)};
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
    return {ERR_BAD_CONTROL_ID, "panel " + std::to_string(handle) + " has no " + kind_name(kind) +
                                    " with id " + std::to_string(id)};
}

void dispatch(int handle, int control_id, int event)
{
    Engine *engine = current_engine();
    Control *control = engine ? find_control(*engine, handle, control_id) : nullptr;
    if (!control || !control->callback)
        return;
    if (engine->dispatching) {
        // Something pumped events inside a callback. A tick is dropped (the
        // next one comes a period later); anything else runs once the
        // callback has ended, so no operator action is lost.
        if (event != EVENT_TIMER_TICK)
            engine->deferred.push_back({handle, control_id, event});
        else if (control->timer)
            control->timer->count_missed(1);
        return;
    }
    call(*engine, handle, *control, event);
}

void show_waiting_values(Engine &engine)
{
    for (auto &[handle, panel] : engine.panels)
        for (auto &[id, control] : panel->controls)
            if (control.value_waiting) {
                control.value_waiting = false;
                if (control.widget)
                    control.cls->show(control.widget.data(), *control.value);
            }
}

void request_quit(Engine &engine, int code)
{
    engine.quit_requested = true;
    engine.quit_code = code;
    if (engine.running)
        QCoreApplication::exit(code); // the loop returns once the current event is done
}

} // namespace stelmo::engine
