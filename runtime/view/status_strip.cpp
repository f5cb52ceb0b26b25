#include "runtime/view/status_strip.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace stelmo {

namespace {

// The phases on the data lines.
constexpr int PHASES = 4;

// Hardware is loud, the simulated rig is not: a badge of its own colour, and
// on hardware the whole strip tinted.
const QColor HARDWARE_BADGE(216, 67, 21); // deep orange, white text
const QColor HARDWARE_STRIP(255, 236, 204);
const QColor SIMULATION_BADGE(224, 224, 224); // neutral grey, dark text
const QColor RUNNING(46, 125, 50);            // green
const QColor FAILED(198, 40, 40);             // red
const QColor LAMP_ON(255, 170, 0);            // as in the rig view
const QColor LAMP_OFF(70, 70, 70);

QString hex_byte(unsigned value)
{
    return QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
}

QString hex_port(unsigned value)
{
    return QStringLiteral("0x%1").arg(value, 3, 16, QLatin1Char('0'));
}

QString badge_style(const QColor &background, const QColor &text)
{
    return QStringLiteral("QLabel { background-color: %1; color: %2; font-weight: bold; "
                          "padding: 1px 6px; border-radius: 3px; }")
        .arg(background.name(), text.name());
}

// The width of the widest of `texts` in `font`.
int widest(const QFont &font, const QStringList &texts)
{
    const QFontMetrics metrics(font);
    int width = 0;
    for (const QString &text : texts)
        width = std::max(width, metrics.horizontalAdvance(text));
    return width;
}

QString text_style(const QColor &colour, bool bold)
{
    return QStringLiteral("QLabel { color: %1; %2}")
        .arg(colour.name(), bold ? QStringLiteral("font-weight: bold; ") : QString());
}

// Whether `a` and `b` say the same of the run.
bool same_run(const StripState &a, const StripState &b)
{
    return a.running == b.running && a.interval_ms == b.interval_ms &&
           a.stopped_why == b.stopped_why && a.stopped_hint == b.stopped_hint &&
           a.run_state == b.run_state && a.homing_steps == b.homing_steps &&
           a.steps_per_s == b.steps_per_s;
}

} // namespace

// The four lamps of the data lines D0..D3: lit where the last byte written to
// a data register has the bit set, all dark before the first write, drawn in
// red with "write failed" after a write that failed. Its accessible name says
// the same in words ("D0 on, D1 off, D2 off, D3 off").
class PhaseLamps : public QWidget {
    Q_DECLARE_TR_FUNCTIONS(StatusStrip)

public:
    explicit PhaseLamps(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("stripLamps"));
        setFocusPolicy(Qt::NoFocus);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        show_data({});
    }

    // The last write the port monitor saw (`io.data_port` 0: none yet).
    void show_data(const ports::PortActivity &io)
    {
        const bool was_failed = failed_;
        written_ = io.data_port != 0;
        value_ = io.data_value;
        failed_ = written_ && io.data_failed;
        QString lines;
        for (int phase = 0; phase < PHASES; ++phase) {
            if (phase > 0)
                lines += QStringLiteral(", ");
            lines += on(phase) ? tr("D%1 on").arg(phase) : tr("D%1 off").arg(phase);
        }
        if (!written_) {
            setAccessibleName(tr("Data lines: nothing written yet"));
            setToolTip(tr("Phase lamps D0 to D3: nothing written to the data register yet"));
        } else if (failed_) {
            setAccessibleName(tr("Data lines: write failed: %1").arg(lines));
            setToolTip(tr("Writing %1 to the data register %2 failed")
                           .arg(hex_byte(value_), hex_port(io.data_port)));
        } else {
            setAccessibleName(tr("Data lines: %1").arg(lines));
            setToolTip(tr("Phase lamps D0 to D3: %1 was written to the data register %2 last")
                           .arg(hex_byte(value_), hex_port(io.data_port)));
        }
        setAccessibleDescription(toolTip());
        if (failed_ != was_failed)
            updateGeometry(); // room for "write failed", or none
        update();
    }

    QSize sizeHint() const override
    {
        const QFontMetrics metrics = fontMetrics();
        int width = PHASES * cell();
        if (failed_)
            width += metrics.horizontalAdvance(tr("write failed"));
        return {width, metrics.height() + 2};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    // The lamps change up to ten times a second while the motor runs, and
    // antialiased circles and text cost the most: each of the sixteen ways
    // the lamps can be lit is drawn once into a picture and copied after that.
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        if (failed_) {
            draw(p);
            return;
        }
        const qreal ratio = devicePixelRatioF();
        QPixmap &picture = pictures_[written_ ? value_ & 0x0F : 0];
        if (picture.isNull() || picture.size() != size() * ratio ||
            picture.devicePixelRatio() != ratio) {
            picture = QPixmap(size() * ratio);
            picture.setDevicePixelRatio(ratio);
            picture.fill(Qt::transparent);
            QPainter drawing(&picture);
            draw(drawing);
        }
        p.drawPixmap(0, 0, picture);
    }

    void changeEvent(QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type == QEvent::PaletteChange || type == QEvent::FontChange ||
            type == QEvent::StyleChange)
            std::fill(std::begin(pictures_), std::end(pictures_), QPixmap());
        QWidget::changeEvent(event);
    }

    void draw(QPainter &p) const
    {
        p.setRenderHint(QPainter::Antialiasing);
        const int lamp = lamp_size();
        const QColor text = failed_ ? FAILED : palette().color(QPalette::WindowText);
        for (int phase = 0; phase < PHASES; ++phase) {
            const int x = phase * cell();
            const QRectF circle(x + 1, (height() - lamp) / 2.0, lamp, lamp);
            p.setPen(failed_ ? QPen(FAILED, 2) : QPen(Qt::NoPen));
            p.setBrush(on(phase) ? LAMP_ON : LAMP_OFF);
            p.drawEllipse(circle);
            p.setPen(text);
            p.drawText(QRect(x + lamp + 4, 0, cell() - lamp - 3, height()), Qt::AlignVCenter,
                       QStringLiteral("D%1").arg(phase));
        }
        if (failed_)
            p.drawText(QRect(PHASES * cell(), 0, width() - PHASES * cell(), height()),
                       Qt::AlignVCenter, tr("write failed"));
    }

private:
    bool on(int phase) const { return written_ && ((value_ >> phase) & 1) != 0; }
    int lamp_size() const { return std::max(8, fontMetrics().height() * 3 / 4); }
    // One lamp with its label and the gap after it.
    int cell() const
    {
        return lamp_size() + 3 + fontMetrics().horizontalAdvance(QStringLiteral("D0")) + 6;
    }

    bool written_ = false;
    std::uint8_t value_ = 0;
    bool failed_ = false;
    QPixmap pictures_[1 << PHASES]; // the lamps drawn, by the lit phases' bits
};

StatusStrip::StatusStrip(const StripBackend &backend, QWidget *parent)
    : QFrame(parent), badge_(new QLabel(this)), backend_(new QLabel(this)), run_(new QLabel(this)),
      origin_(new QLabel(this)), scheduling_(new QLabel(this)), lamps_(new PhaseLamps(this)),
      switches_(new QLabel(this))
{
    setObjectName(QStringLiteral("statusStrip"));
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAccessibleName(tr("Status"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    badge_->setObjectName(QStringLiteral("stripBadge"));
    backend_->setObjectName(QStringLiteral("stripBackend"));
    run_->setObjectName(QStringLiteral("stripRun"));
    origin_->setObjectName(QStringLiteral("stripOrigin"));
    scheduling_->setObjectName(QStringLiteral("stripScheduling"));
    switches_->setObjectName(QStringLiteral("stripSwitches"));

    show_backend(backend);
    badge_->setAccessibleDescription(badge_->toolTip());
    scheduling_->hide();
    // Wide enough for all its texts from the start: the window does not
    // change its width while the motor runs.
    switches_->setMinimumWidth(
        widest(font(), {tr("Switches not read yet"), switch_text(0xff),
                        switch_text(ports::SWITCH_HOME), switch_text(ports::SWITCH_FAR)}));
    QFont bold = font();
    bold.setBold(true);
    switches_->setMinimumWidth(
        std::max(switches_->minimumWidth(), widest(bold, {tr("Switch read failed")})));
    QFont italic = font();
    italic.setItalic(true);
    origin_->setFont(italic);
    // Its room is kept while it is empty, so the window keeps its width.
    origin_->setMinimumWidth(widest(italic, {tr("started by a script")}));

    lay_out();
    show_changes({});
}

// The badge, its colours and the backend's description: hardware is tinted
// and badged so that it never looks like the simulation.
void StatusStrip::show_backend(const StripBackend &backend)
{
    if (backend.hardware) {
        badge_->setText(tr("HARDWARE"));
        badge_->setAccessibleName(tr("Hardware"));
        badge_->setToolTip(
            tr("A real motor moves: the ports are reached through %1").arg(backend.device));
        badge_->setStyleSheet(badge_style(HARDWARE_BADGE, Qt::white));
        backend_->setText(backend.mapping.isEmpty()
                              ? backend.device
                              : tr("%1 · %2").arg(backend.device, backend.mapping));
        setAutoFillBackground(true);
        QPalette tinted = palette();
        tinted.setColor(QPalette::Window, HARDWARE_STRIP);
        setPalette(tinted);
    } else {
        badge_->setText(tr("SIMULATION"));
        badge_->setAccessibleName(tr("Simulation"));
        badge_->setToolTip(tr("No motor moves: the ports lead to the simulated rig"));
        badge_->setStyleSheet(badge_style(SIMULATION_BADGE, QColor(66, 66, 66)));
        backend_->setText(tr("Simulated rig"));
    }
}

// Three rows: backend, run state (with who started it) and scheduling,
// lamps and switches.
void StatusStrip::lay_out()
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(6, 4, 6, 4);
    column->setSpacing(3);
    auto *top = new QHBoxLayout;
    top->addWidget(badge_);
    top->addWidget(backend_);
    top->addStretch();
    auto *middle = new QHBoxLayout;
    middle->addWidget(run_);
    middle->addSpacing(8);
    middle->addWidget(origin_);
    middle->addSpacing(8);
    middle->addStretch();
    middle->addWidget(scheduling_);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(lamps_);
    bottom->addSpacing(8);
    bottom->addWidget(switches_);
    bottom->addStretch();
    column->addLayout(top);
    column->addLayout(middle);
    column->addLayout(bottom);
}

StatusStrip::~StatusStrip() = default;

void StatusStrip::set_timer(double interval_ms, bool realtime, const QString &status)
{
    using engine::RunState;
    QFont bold = font();
    bold.setBold(true);
    const double rate = 1000.0 / interval_ms;
    run_width_ = std::max(
        widest(font(), {tr("Stopped")}),
        widest(bold,
               {run_text(RunState::homing, 99999, rate), run_text(RunState::jogging_home, 0, rate),
                run_text(RunState::jogging_far, 0, rate), run_text(RunState::holding_home, 0, 0),
                run_text(RunState::holding_far, 0, 0)}));
    run_->setMinimumWidth(run_width_);
    scheduling_->setVisible(true);
    scheduling_->setText(realtime ? tr("RT") : tr("normal priority"));
    scheduling_->setAccessibleName(realtime ? tr("Step timer: real-time")
                                            : tr("Step timer: normal priority"));
    scheduling_->setToolTip(status);
    scheduling_->setAccessibleDescription(status);
}

void StatusStrip::set_files(const QString &panel_file, const QString &config_files)
{
    backend_->setToolTip(
        tr("Panel file: %1\nConfiguration files: %2").arg(panel_file, config_files));
    backend_->setAccessibleDescription(backend_->toolTip());
}

QString StatusStrip::rate_text(double steps_per_s)
{
    const QLocale locale;
    if (steps_per_s >= 1 || steps_per_s <= 0) {
        // Whole steps from 100 a second up, a tenth below.
        const double rate = std::max(steps_per_s, 0.0);
        const double shown = rate >= 100 ? std::round(rate) : std::round(rate * 10) / 10;
        return tr("%1 steps/s")
            .arg(locale.toString(shown, 'f', shown == std::round(shown) ? 0 : 1));
    }
    const double seconds = std::round(10 / steps_per_s) / 10;
    return tr("a step every %1 s")
        .arg(locale.toString(seconds, 'f', seconds == std::round(seconds) ? 0 : 1));
}

QString StatusStrip::run_text(engine::RunState state, long homing_steps, double steps_per_s)
{
    using engine::RunState;
    QString words;
    switch (state) {
    case RunState::homing:
        words = homing_steps > 0 ? tr("Homing · step %1").arg(homing_steps) : tr("Homing");
        break;
    case RunState::jogging_home:
        words = tr("Jogging towards home");
        break;
    case RunState::jogging_far:
        words = tr("Jogging towards far end");
        break;
    case RunState::holding_home:
        words = tr("Holding at home switch");
        break;
    case RunState::holding_far:
        words = tr("Holding at far switch");
        break;
    default:
        words = tr("Running");
        break;
    }
    return steps_per_s < 0 ? words : tr("%1 · %2").arg(words, rate_text(steps_per_s));
}

QString StatusStrip::switch_text(std::uint8_t value)
{
    return tr("%1 · %2").arg(hex_byte(value), switch_meaning(value));
}

QString StatusStrip::switch_meaning(std::uint8_t value)
{
    if (value == ports::SWITCH_HOME)
        return tr("home switch");
    if (value == ports::SWITCH_FAR)
        return tr("far switch");
    return tr("no switch");
}

bool StatusStrip::show_state(const StripState &state, Clock::time_point now)
{
    const ports::PortActivity &io = state.io;
    const ports::PortActivity &was = shown_.io;
    const bool same = same_run(state, shown_) && io.data_port == was.data_port &&
                      io.data_value == was.data_value && io.data_failed == was.data_failed &&
                      io.switch_port == was.switch_port && io.switch_value == was.switch_value &&
                      io.switch_raw == was.switch_raw && io.switch_failed == was.switch_failed;
    if (same && state.by_script == shown_.by_script)
        return true;
    if (now - changed_at_ < MIN_CHANGE_INTERVAL)
        return false;
    show_changes(state);
    changed_at_ = now;
    return true;
}

void StatusStrip::show_changes(const StripState &state)
{
    const ports::PortActivity &io = state.io;
    const ports::PortActivity &was = shown_.io;
    const bool first = !shown_any_;
    if (first || !same_run(state, shown_))
        show_run(state);
    if (first || state.running != shown_.running || state.by_script != shown_.by_script)
        show_origin(state);
    if (first || io.data_port != was.data_port || io.data_value != was.data_value ||
        io.data_failed != was.data_failed)
        lamps_->show_data(io);
    if (first || io.switch_port != was.switch_port || io.switch_value != was.switch_value ||
        io.switch_raw != was.switch_raw || io.switch_failed != was.switch_failed)
        show_switches(io);
    shown_ = state;
    shown_any_ = true;
}

void StatusStrip::show_run(const StripState &state)
{
    const bool running = state.running && state.interval_ms > 0;
    const bool why = !running && !state.stopped_why.isEmpty();
    run_->setText(running ? run_text(state.run_state, state.homing_steps, state.steps_per_s)
                  : why   ? tr("Stopped: %1").arg(state.stopped_why)
                          : tr("Stopped"));
    run_->setStyleSheet(running ? text_style(RUNNING, true)
                        : why   ? text_style(FAILED, true)
                                : QString());
    run_->setToolTip(running ? tr("The step timer is on: at most one full step per tick; the "
                                  "rate counts the steps made")
                     : why && !state.stopped_hint.isEmpty()
                         ? state.stopped_hint
                         : tr("The step timer is off: no step is made"));
    run_->setAccessibleDescription(run_->toolTip());
    // A reason for a stop longer than every text kept room for widens the
    // window rather than being cut off; the motor stands meanwhile.
    run_->ensurePolished();
    run_->setMinimumWidth(std::max(run_width_, run_->sizeHint().width()));
}

// Who started the run that goes on: said only when a script did, so the
// operator knows why the motor moves with nobody at the panel.
void StatusStrip::show_origin(const StripState &state)
{
    const bool shown = state.running && state.by_script;
    origin_->setText(shown ? tr("started by a script") : QString());
    origin_->setToolTip(shown ? tr("A script started the motor over the session bus; Start or "
                                   "Home at the panel takes the run over, Stop or Esc stops it")
                              : QString());
    origin_->setAccessibleDescription(origin_->toolTip());
}

void StatusStrip::show_switches(const ports::PortActivity &io)
{
    const QString port = hex_port(io.switch_port);
    if (io.switch_port == 0) {
        switches_->setText(tr("Switches not read yet"));
        switches_->setAccessibleName(switches_->text());
        switches_->setToolTip(tr("Nothing read from a switch register yet"));
    } else if (io.switch_failed) {
        switches_->setText(tr("Switch read failed"));
        switches_->setAccessibleName(switches_->text());
        switches_->setToolTip(tr("Reading the switch register %1 failed; the program got "
                                 "0xff, which is neither switch")
                                  .arg(port));
    } else if (io.switch_raw != io.switch_value) {
        // The switch mask changed it: what the program got, and what the port gave.
        switches_->setText(
            tr("%1 (read %2)").arg(switch_text(io.switch_value), hex_byte(io.switch_raw)));
        switches_->setAccessibleName(tr("Switches %1, %2, read %3")
                                         .arg(hex_byte(io.switch_value),
                                              switch_meaning(io.switch_value),
                                              hex_byte(io.switch_raw)));
        switches_->setToolTip(tr("The switch register %1 read %2 last; switch-mask made it %3, "
                                 "which the program got: 0x0d is the home switch, 0x0e the far "
                                 "switch, anything else neither")
                                  .arg(port, hex_byte(io.switch_raw), hex_byte(io.switch_value)));
    } else {
        switches_->setText(switch_text(io.switch_value));
        switches_->setAccessibleName(
            tr("Switches %1, %2").arg(hex_byte(io.switch_value), switch_meaning(io.switch_value)));
        switches_->setToolTip(tr("The last byte read from the switch register %1: 0x0d is the "
                                 "home switch, 0x0e the far switch, anything else neither")
                                  .arg(port));
    }
    switches_->setStyleSheet(io.switch_port != 0 && io.switch_failed ? text_style(FAILED, true)
                                                                     : QString());
    switches_->setAccessibleDescription(switches_->toolTip());
}

} // namespace stelmo
