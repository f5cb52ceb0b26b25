// The status strip under every panel (runtime/view/status_strip.h): added
// when the panel is made live, below what the form lays out, and kept current
// at most once per frame, and at most about ten times a second. What it shows changes on the tick
// path: the port monitor sees every access, and a tick may switch its timer off. Those only mark
// the strips' frame (FramePacer::mark: no lock, no allocation); the frame copies the monitor's
// snapshot and the timers' switches under the callback lock, and shows them without it.
#include "runtime/engine/bus.h"
#include "runtime/engine/state.h"
#include "runtime/engine/views.h"

#include "runtime/base/text.h"
#include "runtime/ports/monitor.h"

#include <QBoxLayout>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>

#include <algorithm>
#include <vector>

namespace stelmo::engine {

namespace {

// Called by the port monitor after an access that changed its snapshot, on
// the thread that made it (a tick, with the callback lock held).
void ports_changed(void *engine)
{
    auto *self = static_cast<Engine *>(engine);
    self->frames->mark(self->strips);
    note_bus_change(*self); // scripts read the switch byte too
}

StripBackend backend_of(const ports::Setup &setup)
{
    StripBackend backend;
    backend.hardware = !setup.device.empty();
    backend.device = QString::fromStdString(setup.device);
    backend.mapping = QString::fromStdString(setup.mapping);
    return backend;
}

// Keeps a strip along the bottom edge of a window whose layout takes no
// further widget (a stacked layout), in room the layout leaves below.
class BottomEdge : public QObject {
public:
    BottomEdge(QWidget *window, QWidget *strip) : QObject(strip), window_(window), strip_(strip)
    {
        window->installEventFilter(this);
        place();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == window_ && event->type() == QEvent::Resize)
            place();
        return false;
    }

private:
    void place()
    {
        const int height = strip_->sizeHint().height();
        strip_->setGeometry(0, window_->height() - height, window_->width(), height);
    }

    QWidget *window_;
    QWidget *strip_;
};

// Turns the box layout `box` into a column whose first item holds what it
// laid out (its items, stretches and spacing as they were), so that a strip
// can go below.
void make_column(QBoxLayout &box)
{
    auto *inner = new QBoxLayout(box.direction());
    inner->setContentsMargins(0, 0, 0, 0);
    inner->setSpacing(box.spacing());
    std::vector<int> stretches;
    for (int i = 0; i < box.count(); ++i)
        stretches.push_back(box.stretch(i));
    for (int i = 0; QLayoutItem *item = box.takeAt(0); ++i) {
        if (QLayout *nested = item->layout())
            inner->addLayout(nested); // its parent again, as takeAt took it
        else
            inner->addItem(item);
        inner->setStretch(i, stretches[static_cast<std::size_t>(i)]);
    }
    box.setDirection(QBoxLayout::TopToBottom);
    box.addLayout(inner);
}

// Puts `strip` below everything the form lays out on `root`, in its layout
// wherever the layout can take it.
void attach(QWidget &root, StatusStrip *strip)
{
    QLayout *layout = root.layout();
    if (!layout) {
        // Children placed by hand stay where they are, above the strip.
        auto *column = new QVBoxLayout(&root);
        column->setContentsMargins(0, 0, 0, 0);
        column->addStretch();
        column->addWidget(strip);
    } else if (auto *box = qobject_cast<QBoxLayout *>(layout)) {
        if (box->direction() != QBoxLayout::TopToBottom)
            make_column(*box);
        box->addWidget(strip);
    } else if (auto *grid = qobject_cast<QGridLayout *>(layout)) {
        grid->addWidget(strip, grid->rowCount(), 0, 1, -1);
    } else if (auto *form = qobject_cast<QFormLayout *>(layout)) {
        form->addRow(strip);
    } else {
        QMargins margins = layout->contentsMargins();
        margins.setBottom(margins.bottom() + strip->sizeHint().height());
        layout->setContentsMargins(margins);
        new BottomEdge(&root, strip);
    }
}

double interval_ms(const TickThread &timer)
{
    return std::chrono::duration<double, std::milli>(timer.period()).count();
}

} // namespace

void watch_ports(Engine &engine)
{
    Engine *self = &engine;
    engine.strips = engine.frames->add([self] { refresh_strips(*self); });
    if (engine.setup.monitor) {
        const HoldUnlessHeld hold(engine.lock);
        engine.setup.monitor->set_observer(&ports_changed, self);
    }
}

void add_status_strip(Engine &engine, Panel &panel)
{
    QWidget &root = *panel.root;
    auto *strip = new StatusStrip(backend_of(engine.setup), &root);
    for (const auto &[id, control] : panel.controls) {
        if (control.timer) {
            strip->set_timer(interval_ms(*control.timer),
                             control.timer->scheduling() != Scheduling::normal,
                             QString::fromStdString(control.timer->status()));
            break;
        }
    }
    const QSize before = root.size();
    attach(root, strip);
    // The window grows by the strip's height; DisplayPanel keeps it within
    // the screen (fit_to_screen).
    const int spacing = root.layout() ? std::max(0, root.layout()->spacing()) : 0;
    root.resize(before.width(), before.height() + strip->sizeHint().height() + spacing);
    panel.strip = strip;
}

void name_files(Engine &engine, int handle, const std::string &path)
{
    const Panel *panel = find_panel(engine, handle);
    if (panel && panel->strip)
        panel->strip->set_files(QString::fromStdString(printable(path)),
                                QString::fromStdString(config_files_text(engine.settings)));
}

void refresh_strips(Engine &engine)
{
    engine.strip_updates.clear();
    {
        const HoldUnlessHeld hold(engine.lock);
        note_bus_change(engine); // what the strips show, a script may read too
        const ports::PortActivity io =
            engine.setup.monitor ? engine.setup.monitor->snapshot() : ports::PortActivity{};
        const RunStatus run = run_state(engine); // what the motor does (run_state.h)
        for (const auto &[handle, panel] : engine.panels) {
            if (!panel->strip)
                continue;
            StripState state;
            state.io = io;
            // Running while any of its timers is on, at the rate of the first
            // one that is; stopped, the first timer's interval.
            for (const auto &[id, control] : panel->controls) {
                if (!control.timer)
                    continue;
                const bool on = control.timer->enabled();
                if (state.interval_ms == 0 || (on && !state.running))
                    state.interval_ms = interval_ms(*control.timer);
                state.running = state.running || on;
            }
            state.stopped_why = stop_note(engine); // the engine's own stop (stopping.cpp)
            // Whether a script started the motor over the session bus (bus.cpp).
            state.by_script = started_by_script(engine);
            state.stopped_hint = stop_hint(engine);
            state.run_state = run.state;
            state.homing_steps = run.homing_steps;
            state.steps_per_s = run.steps_per_s;
            engine.strip_updates.push_back({panel->strip, state});
        }
    }
    // A strip that changed too short a time ago is asked again at the next
    // frame, until what it holds back is shown.
    const auto now = StatusStrip::Clock::now();
    bool held_back = false;
    for (const Engine::StripUpdate &update : engine.strip_updates)
        if (update.strip && !update.strip->show_state(update.state, now))
            held_back = true;
    if (held_back)
        engine.frames->mark(engine.strips);
}

} // namespace stelmo::engine
