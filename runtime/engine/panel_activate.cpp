// Making a described panel live. What can fail (a timer's descriptor) is
// acquired first, into a panel nobody else sees yet; should it fail, that
// panel goes away whole. What follows cannot fail: signals, the window
// watcher, the title and the handle. No timer is started here.
#include "runtime/engine/internal.h"

#include "runtime/services.h"

#include <QEvent>

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
            if (Engine *engine = current_engine())
                request_quit(*engine, 0);
        }
        return false;
    }

private:
    QWidget *root_;
};

// The panel's controls, each timer with its (switched-off) clock.
Fault make_controls(Panel &panel, PanelDescription &description)
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
        control.timer = TickTimer::create(
            described.interval_ms,
            [handle, control_id] { dispatch(handle, control_id, EVENT_TIMER_TICK); }, error);
        if (!control.timer)
            return {ERR_BAD_CONTROL, "control " + std::to_string(id) + " " +
                                         name_of(described.widget) + ": " + error};
    }
    return {};
}

// Connects the operator's actions to the dispatcher; timers have no face.
void wire(Panel &panel)
{
    const int handle = panel.handle;
    for (auto &[id, control] : panel.controls) {
        const int control_id = id;
        if (control.callback && control.cls->on_commit)
            control.cls->on_commit(control.widget.data(), [handle, control_id] {
                dispatch(handle, control_id, EVENT_COMMIT);
            });
        if (control.cls->kind == Kind::timer)
            control.widget->hide();
    }
}

// Closing or destroying the window ends the event loop; destroying it also
// stops the panel's timers.
void watch(Panel &panel)
{
    QWidget *root = panel.root.data();
    panel.watcher = std::make_unique<WindowWatcher>(root);
    // The connection goes with the watcher, which the panel drops before
    // anything else, so `self` is alive whenever the lambda runs.
    Panel *self = &panel;
    QObject::connect(root, &QObject::destroyed, panel.watcher.get(), [self] {
        for (auto &[id, control] : self->controls)
            if (control.timer)
                control.timer->set_enabled(false);
        if (Engine *engine = current_engine())
            request_quit(*engine, 0);
    });
}

// The document's title, or "stelmo", and the port backend: the operator
// always sees whether a real motor moves.
void set_title(QWidget &root, const std::string &backend)
{
    QString title = root.windowTitle();
    if (title.isEmpty())
        title = QStringLiteral("stelmo");
    if (!backend.empty())
        title += QStringLiteral(" \u2014 ") + QString::fromStdString(backend);
    root.setWindowTitle(title);
}

} // namespace

Fault activate_panel(Engine &engine, PanelDescription description, int &handle)
{
    auto panel = std::make_unique<Panel>();
    panel->handle = engine.next_handle;
    panel->root = description.root.release(); // deleted with `panel` from here on
    if (Fault fault = make_controls(*panel, description))
        return fault;

    wire(*panel);
    watch(*panel);
    set_title(*panel->root, engine.setup.description);
    handle = panel->handle;
    engine.panels.emplace(handle, std::move(panel));
    ++engine.next_handle;
    // Every timer stays switched off until the program switches it on
    // (SetCtrlAttribute), whatever the file says: a panel file never moves
    // the motor by itself.
    return {};
}

} // namespace stelmo::engine
