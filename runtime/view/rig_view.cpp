#include "runtime/view/rig_view.h"

#include <QPainter>

namespace stelmo {

namespace {

constexpr double MARGIN = 12;
constexpr double LAMP = 22; // lamp diameter
constexpr double TRACK_TOP = 78;
constexpr double TRACK_HEIGHT = 22;
constexpr double CARRIAGE_WIDTH = 14;

constexpr double FIRST = -ports::RIG_OVERTRAVEL;                   // home hard stop
constexpr double LAST = ports::RIG_TRAVEL + ports::RIG_OVERTRAVEL; // far hard stop

const QColor LAMP_ON(255, 170, 0);
const QColor LAMP_OFF(70, 70, 70);
const QColor SWITCH_CLOSED(40, 200, 60);
const QColor SWITCH_OPEN(150, 150, 150);
const QColor CARRIAGE(40, 110, 220);
const QColor HARD_STOP(60, 60, 60);
const QColor TRACK(225, 225, 225);

} // namespace

RigView::RigView(ports::SimRig &rig, FramePacer &frames, QWidget *parent)
    : QWidget(parent), rig_(rig), frames_(frames), client_(frames.add([this] { update(); }))
{
    setWindowTitle("Simulated rig");
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setMinimumSize(sizeHint());

    rig_.set_observer(&RigView::rig_changed, this);
}

RigView::~RigView()
{
    rig_.set_observer(nullptr, nullptr);
    frames_.remove(client_);
}

// Runs on the tick path: only marks the frame, which coalesces any number of
// rig changes into one repaint.
void RigView::rig_changed(void *view)
{
    auto *self = static_cast<RigView *>(view);
    self->frames_.mark(self->client_);
}

QSize RigView::sizeHint() const
{
    return {380, 140};
}

double RigView::x_of(double position) const
{
    const QRectF t = track();
    return t.left() + (position - FIRST) / (LAST - FIRST) * t.width();
}

QRectF RigView::lamp(int phase) const
{
    return {MARGIN + 70 + phase * (LAMP + 18), MARGIN + 6, LAMP, LAMP};
}

QRectF RigView::track() const
{
    return {MARGIN, TRACK_TOP, width() - 2 * MARGIN, TRACK_HEIGHT};
}

QRectF RigView::carriage(int position) const
{
    return {x_of(position) - CARRIAGE_WIDTH / 2, TRACK_TOP + 3, CARRIAGE_WIDTH, TRACK_HEIGHT - 6};
}

QRectF RigView::home_switch() const
{
    return {x_of(0) - 4, TRACK_TOP - 14, 8, 12};
}

QRectF RigView::far_switch() const
{
    return {x_of(ports::RIG_TRAVEL) - 4, TRACK_TOP - 14, 8, 12};
}

void RigView::paintEvent(QPaintEvent *)
{
    const ports::RigState &s = rig_.state();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor text = palette().color(QPalette::WindowText);

    // Phase lamps: lit while their data line is high; the rotor's phase is ringed.
    p.setPen(text);
    p.drawText(QRectF(MARGIN, MARGIN + 6, 70, LAMP), Qt::AlignVCenter, "Phases");
    for (int phase = 0; phase < 4; ++phase) {
        const QRectF r = lamp(phase);
        p.setPen(phase == s.rotor ? QPen(text, 2) : QPen(Qt::NoPen));
        p.setBrush((s.data >> phase) & 1 ? LAMP_ON : LAMP_OFF);
        p.drawEllipse(r);
        p.setPen(text);
        p.drawText(QRectF(r.left() - 6, r.bottom() + 2, r.width() + 12, 14), Qt::AlignCenter,
                   QString("D%1").arg(phase));
    }

    // Travel with the hard stops at both ends and the two end switches.
    const QRectF t = track();
    p.setPen(Qt::NoPen);
    p.setBrush(TRACK);
    p.drawRect(t);
    p.setBrush(HARD_STOP);
    p.drawRect(QRectF(t.left() - 5, t.top() - 4, 5, t.height() + 8));
    p.drawRect(QRectF(t.right(), t.top() - 4, 5, t.height() + 8));
    p.setBrush(s.home_closed ? SWITCH_CLOSED : SWITCH_OPEN);
    p.drawRect(home_switch());
    p.setBrush(s.far_closed ? SWITCH_CLOSED : SWITCH_OPEN);
    p.drawRect(far_switch());
    p.setPen(text);
    p.drawText(QRectF(home_switch().right() + 3, TRACK_TOP - 18, 60, 16), Qt::AlignLeft, "home");
    p.drawText(QRectF(far_switch().left() - 63, TRACK_TOP - 18, 60, 16), Qt::AlignRight, "far");

    p.setPen(Qt::NoPen);
    p.setBrush(CARRIAGE);
    p.drawRect(carriage(s.position));

    // Counters.
    p.setPen(text);
    p.drawText(QRectF(MARGIN, t.bottom() + 10, t.width(), 20), Qt::AlignLeft,
               QString("Carriage at step %1    Steps %2    Stalls %3")
                   .arg(s.position)
                   .arg(s.steps)
                   .arg(s.stalls));
}

void RigView::show_beside(const QWidget &panel)
{
    if (placed_)
        return;
    placed_ = true;
    move(panel.frameGeometry().topRight() + QPoint(12, 0));
    show();
}

} // namespace stelmo
