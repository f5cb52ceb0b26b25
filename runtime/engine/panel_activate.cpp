// Making a described panel live. What can fail (a timer's thread) is
// acquired first, into a panel nobody else sees yet; should it fail, that
// panel goes away whole. What follows cannot fail: signals and the mirrors
// ticks read, the window watcher, the title, the controls' accessible names,
// the status strip and the handle. The panel enters
// the engine's table under the lock, ready. No timer is started here.
#include "runtime/engine/bus.h"
#include "runtime/engine/panel_load.h"
#include "runtime/engine/state.h"
#include "runtime/engine/views.h"

#include "runtime/base/report.h"
#include "runtime/config/translation.h"
#include "runtime/ports/trace.h"
#include "runtime/services.h"

#include <QEvent>

#include <cmath>

namespace stelmo::engine {

namespace {

// Ends the event loop when the operator closes the panel window (or the
// document's own connections close, hide or delete it): with the window gone
// nobody could stop the motor, so the program must not run on unseen.
// Minimising is a spontaneous hide and does not count.
class WindowWatcher : public QObject {
public:
    explicit WindowWatcher(QWidget *root) : root_(root) { root->installEventFilter(this); }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == root_ && (event->type() == QEvent::Close ||
                                 (event->type() == QEvent::Hide && !event->spontaneous()))) {
            if (Engine *engine = current_engine()) {
                const HoldUnlessHeld hold(engine->lock);
                request_quit(*engine, 0);
            }
        }
        return false;
    }

private:
    QWidget *root_;
};

// How the first timer thread is scheduled is said once, when it is not
// real-time: the operator then knows why steps may come late.
void note_scheduling(Engine &engine, const TickThread &timer)
{
    engine.tick_scheduling = timer.status();
    if (engine.scheduling_said)
        return;
    engine.scheduling_said = true;
    if (timer.scheduling() == Scheduling::normal)
        report(translate("stelmo",
                         "step timer runs at %1; steps may be late when the machine is busy")(
            timer.scheduling_text()));
}

// The panel's controls, each timer with its (switched-off) thread.
Fault make_controls(Engine &engine, Panel &panel, PanelDescription &description)
{
    const int handle = panel.handle;
    for (auto &[id, described] : description.controls) {
        Control &control = panel.controls[id];
        control.id = id;
        control.cls = described.cls;
        control.widget = described.widget;
        control.callback = described.callback;
        control.callback_name = std::move(described.callback_name);
        if (control.cls->kind != Kind::timer)
            continue;
        std::string error;
        const int control_id = id;
        Engine *self = &engine;
        // The interval setting, where given, in place of the panel file's.
        const double ms = engine.settings.interval_ms;
        const auto period =
            ms > 0 ? std::chrono::nanoseconds(std::llround(ms * 1e6)) : described.period;
        control.timer = TickThread::create(
            period, engine.lock, [self, handle, control_id] { tick(*self, handle, control_id); },
            error);
        if (!control.timer)
            return {ERR_BAD_CONTROL,
                    translate("stelmo", "control %1 %2: %3")(id, name_of(described.widget), error)};
        note_scheduling(engine, *control.timer);
    }
    return {};
}

// Clears `alive` under the lock when `widget` is destroyed: ticks go by the
// flag, never by the widget.
void track(Engine &engine, QWidget *widget, bool &alive)
{
    Engine *self = &engine;
    bool *flag = &alive;
    QObject::connect(widget, &QObject::destroyed, engine.app, [self, flag] {
        const HoldUnlessHeld hold(self->lock);
        *flag = false;
    });
}

// Connects the operator's actions to the dispatcher, and fills the mirrors
// ticks read instead of widgets: a selector's index, kept up to date under
// the lock, and what a display can show. Timers have no face.
void wire(Engine &engine, Panel &panel)
{
    const int handle = panel.handle;
    track(engine, panel.root.data(), panel.alive);
    for (auto &[id, control] : panel.controls) {
        const int control_id = id;
        QWidget *widget = control.widget.data();
        track(engine, widget, control.alive);
        if (control.callback && control.cls->on_commit)
            control.cls->on_commit(
                widget, [handle, control_id] { dispatch(handle, control_id, EVENT_COMMIT); });
        if (control.cls->index) {
            control.index = control.cls->index(widget);
            Engine *self = &engine;
            Control *mirrored = &control;
            control.cls->on_index(widget, [self, mirrored](int index) {
                const HoldUnlessHeld hold(self->lock);
                mirrored->index = index;
            });
        }
        if (control.cls->limits)
            control.limits = control.cls->limits(widget);
        if (control.cls->prepare)
            control.cls->prepare(widget);
        if (control.cls->kind == Kind::timer)
            widget->hide();
    }
}

// Closing or destroying the window ends the event loop, with every timer
// switched off first.
void watch(Panel &panel)
{
    QWidget *root = panel.root.data();
    panel.watcher = std::make_unique<WindowWatcher>(root);
    // The connection goes with the watcher, which the panel drops before
    // anything else: taking a panel down is not the operator closing it.
    QObject::connect(root, &QObject::destroyed, panel.watcher.get(), [] {
        Engine *engine = current_engine();
        if (!engine)
            return;
        const HoldUnlessHeld hold(engine->lock);
        request_quit(*engine, 0); // every timer off (stopping.cpp), then the loop ends
    });
}

// The document's title, or "stelmo", and the port backend: the operator
// always sees whether a real motor moves.
void set_title(QWidget &root, const ports::Setup &setup)
{
    QString title = root.windowTitle();
    if (title.isEmpty())
        title = QStringLiteral("stelmo");
    const QString backend = setup.rig ? translate("stelmo", "simulated rig").qstring()
                                      : QString::fromStdString(setup.description);
    if (!backend.isEmpty())
        title += QStringLiteral(" \u2014 ") + backend;
    root.setWindowTitle(title);
}

// The port trace's header names the backend and the tick interval of the
// first panel with a timer, once; before the first tick, so with the lock held.
void give_run_info(Engine &engine, const Panel &panel)
{
    if (!engine.setup.trace || engine.run_info_given)
        return;
    for (const auto &[id, control] : panel.controls) {
        if (!control.timer)
            continue;
        const double ms =
            std::chrono::duration<double, std::milli>(control.timer->period()).count();
        engine.setup.trace->set_run_info(engine.setup.description, number(ms) + " ms");
        engine.run_info_given = true;
        return;
    }
}

} // namespace

Fault activate_panel(Engine &engine, PanelDescription description, int &handle)
{
    auto panel = std::make_unique<Panel>();
    panel->handle = engine.next_handle;
    panel->root = description.root.release(); // deleted with `panel` from here on
    if (Fault fault = make_controls(engine, *panel, description))
        return fault;

    wire(engine, *panel);
    watch(*panel);
    set_title(*panel->root, engine.setup);
    name_from_labels(*panel->root);
    add_status_strip(engine, *panel);
    handle = panel->handle;
    Panel &live = *panel;
    {
        const HoldUnlessHeld hold(engine.lock);
        give_run_info(engine, *panel);
        engine.panels.emplace(handle, std::move(panel));
        ++engine.next_handle;
    }
    watch_for_bus(live); // a script hears of the operator's choices on it too
    // Every timer stays switched off until the program switches it on
    // (SetCtrlAttribute), whatever the file says: a panel file never moves
    // the motor by itself.
    refresh_strips(engine);
    return {};
}

} // namespace stelmo::engine
