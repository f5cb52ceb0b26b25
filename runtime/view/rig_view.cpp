#include "runtime/view/rig_view.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <iterator>

namespace stelmo {

namespace {

constexpr double MARGIN = 12;
constexpr double LAMP = 22; // lamp diameter
constexpr double TRACK_TOP = 78;
constexpr double TRACK_HEIGHT = 22;
constexpr double CARRIAGE_WIDTH = 14;
constexpr double RING = 2; // the ring around the rotor's lamp, and the room kept for it
constexpr int GAP = 12;    // between the panel and the view, in device-independent pixels

constexpr double FIRST = -ports::RIG_OVERTRAVEL;                   // home hard stop
constexpr double LAST = ports::RIG_TRAVEL + ports::RIG_OVERTRAVEL; // far hard stop

const QColor LAMP_ON(255, 170, 0);
const QColor LAMP_OFF(70, 70, 70);
const QColor SWITCH_CLOSED(40, 200, 60);
const QColor SWITCH_OPEN(150, 150, 150);
const QColor CARRIAGE(40, 110, 220);
const QColor HARD_STOP(60, 60, 60);
const QColor TRACK(225, 225, 225);

// Where a window of outer `size` goes beside the window frame `panel`: to its
// right, else to its left, else below it, moved as far as needed to lie
// within `available` (a screen's available area, all in device-independent
// pixels, so the same at any scale).
QPoint place_beside(const QRect &panel, QSize size, const QRect &available)
{
    const int right = panel.x() + panel.width() + GAP; // just right of the panel
    const int left = panel.x() - GAP - size.width();   // just left of it
    const int available_right = available.x() + available.width();
    const int available_bottom = available.y() + available.height();
    QPoint at;
    if (right + size.width() <= available_right)
        at = {right, panel.y()};
    else if (left >= available.x())
        at = {left, panel.y()};
    else
        at = {panel.x(), panel.y() + panel.height() + GAP};
    // Whatever is left over is kept on the screen; a screen too small for
    // both windows gets the view over the panel rather than off the edge.
    at.setX(
        std::clamp(at.x(), available.x(), std::max(available.x(), available_right - size.width())));
    at.setY(std::clamp(at.y(), available.y(),
                       std::max(available.y(), available_bottom - size.height())));
    return at;
}

} // namespace

RigView::RigView(ports::SimRig &rig, FramePacer &frames, CallbackLock &lock, QWidget *parent)
    : QWidget(parent), rig_(rig), lock_(lock), frames_(frames),
      client_(frames.add([this] { take_snapshot(); }))
{
    setWindowTitle(tr("Simulated rig"));
    setAttribute(Qt::WA_OpaquePaintEvent); // the picture of what never changes fills it
    // Latin text and digits need no shaping: laid out without it, the
    // counters cost a fraction of what they would each frame.
    QFont plain = font();
    plain.setStyleStrategy(QFont::PreferNoShaping);
    setFont(plain);
    setAccessibleName(tr("Simulated rig"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setMinimumSize(sizeHint());

    {
        const HoldUnlessHeld hold(lock_);
        shown_ = counted_ = rig_.state();
        rig_.set_observer(&RigView::rig_changed, this);
    }
    describe();
}

RigView::~RigView()
{
    {
        const HoldUnlessHeld hold(lock_);
        rig_.set_observer(nullptr, nullptr);
    }
    frames_.remove(client_);
}

// Runs on the tick path, on any thread: only marks the frame, which coalesces
// any number of rig changes into one repaint.
void RigView::rig_changed(void *view)
{
    auto *self = static_cast<RigView *>(view);
    self->frames_.mark(self->client_);
}

void RigView::take_snapshot()
{
    ports::RigState now;
    {
        const HoldUnlessHeld hold(lock_);
        now = rig_.state();
    }
    QRegion region = changed(shown_, now);
    shown_ = now;
    // The texts, the counters' and the accessible description, follow at
    // most every COUNTERS_INTERVAL, from the same copy.
    const bool count_changed = now.position != counted_.position || now.steps != counted_.steps ||
                               now.stalls != counted_.stalls;
    if (count_changed || now.data != counted_.data || now.rotor != counted_.rotor ||
        now.home_closed != counted_.home_closed || now.far_closed != counted_.far_closed) {
        const auto clock = std::chrono::steady_clock::now();
        if (clock - counted_at_ >= COUNTERS_INTERVAL) {
            counted_ = now;
            counted_at_ = clock;
            if (count_changed)
                region += counters().toAlignedRect();
            describe();
        } else {
            frames_.mark(client_); // the next frame looks again
        }
    }
    if (!region.isEmpty())
        update(region);
}

QRegion RigView::changed(const ports::RigState &was, const ports::RigState &now) const
{
    QRegion region;
    const auto add = [&region](const QRectF &part) {
        region += part.adjusted(-RING, -RING, RING, RING).toAlignedRect();
    };
    if (was.data != now.data || was.rotor != now.rotor)
        for (int phase = 0; phase < 4; ++phase)
            add(lamp(phase));
    if (was.home_closed != now.home_closed)
        add(home_switch());
    if (was.far_closed != now.far_closed)
        add(far_switch());
    if (was.position != now.position) {
        add(carriage(was.position));
        add(carriage(now.position));
    }
    return region;
}

void RigView::describe()
{
    const ports::RigState &s = counted_;
    QStringList lit;
    for (int phase = 0; phase < 4; ++phase)
        if ((s.data >> phase) & 1)
            lit << QStringLiteral("D%1").arg(phase);
    const QString phases = lit.isEmpty() ? tr("all phases off")
                           : lit.size() == 1
                               ? tr("phase %1 on").arg(lit.front())
                               : tr("phases %1 on").arg(lit.join(QStringLiteral(", ")));
    const QString description = tr("Carriage at step %1; home switch %2, far switch %3; %4")
                                    .arg(s.position)
                                    .arg(s.home_closed ? tr("closed") : tr("open"),
                                         s.far_closed ? tr("closed") : tr("open"), phases);
    if (description != accessibleDescription())
        setAccessibleDescription(description);
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

QRectF RigView::counters() const
{
    const QRectF t = track();
    return {MARGIN, t.bottom() + 10, t.width(), 20};
}

// What never changes: the labels, the travel with its hard stops at both
// ends. The lamps' row is drawn as it is needed (lamp_row).
void RigView::draw_pictures()
{
    const qreal ratio = devicePixelRatioF();
    const QColor text = palette().color(QPalette::WindowText);
    still_ = QPixmap(size() * ratio);
    still_.setDevicePixelRatio(ratio);
    still_.fill(palette().color(QPalette::Window));
    for (auto &rotor : rows_)
        std::fill(std::begin(rotor), std::end(rotor), QPixmap());
    QPainter p(&still_);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(text);
    p.drawText(QRectF(MARGIN, MARGIN + 6, 70, LAMP), Qt::AlignVCenter, tr("Phases"));
    for (int phase = 0; phase < 4; ++phase) {
        const QRectF r = lamp(phase);
        p.drawText(QRectF(r.left() - 6, r.bottom() + 2, r.width() + 12, 14), Qt::AlignCenter,
                   QString("D%1").arg(phase));
    }
    const QRectF t = track();
    p.setPen(Qt::NoPen);
    p.setBrush(TRACK);
    p.drawRect(t);
    p.setBrush(HARD_STOP);
    p.drawRect(QRectF(t.left() - 5, t.top() - 4, 5, t.height() + 8));
    p.drawRect(QRectF(t.right(), t.top() - 4, 5, t.height() + 8));
    p.setPen(text);
    p.drawText(QRectF(home_switch().right() + 3, TRACK_TOP - 18, 60, 16), Qt::AlignLeft,
               tr("home"));
    p.drawText(QRectF(far_switch().left() - 63, TRACK_TOP - 18, 60, 16), Qt::AlignRight, tr("far"));
}

QRect RigView::lamps_row() const
{
    return lamp(0).united(lamp(3)).adjusted(-RING, -RING, RING, RING).toAlignedRect();
}

// The four lamps, lit where the data lines (their low four bits) are high,
// the rotor's phase ringed, over what never changes: drawn once for each way
// they can look, and copied in one piece after that.
const QPixmap &RigView::lamp_row(int lines, int rotor)
{
    QPixmap &picture = rows_[lines & 0x0F][rotor & 3];
    if (!picture.isNull())
        return picture;
    const qreal ratio = still_.devicePixelRatio();
    const QRect row = lamps_row();
    picture = still_.copy(
        QRectF(QPointF(row.topLeft()) * ratio, QSizeF(row.size()) * ratio).toAlignedRect());
    picture.setDevicePixelRatio(ratio);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(-row.topLeft());
    for (int phase = 0; phase < 4; ++phase) {
        p.setPen(phase == (rotor & 3) ? QPen(palette().color(QPalette::WindowText), 2)
                                      : QPen(Qt::NoPen));
        p.setBrush((lines >> phase) & 1 ? LAMP_ON : LAMP_OFF);
        p.drawEllipse(lamp(phase));
    }
    return picture;
}

void RigView::paintEvent(QPaintEvent *event)
{
    if (still_.isNull() || still_.devicePixelRatio() != devicePixelRatioF())
        draw_pictures();
    const ports::RigState &s = shown_;
    const QRegion &region = event->region();
    QPainter p(this);
    // Rectangle by rectangle, each clipped to itself: under a clip of several
    // parts (the region as a whole) Qt copies a picture span by span through
    // its worker threads, which costs more than the copy. Clipped to one
    // rectangle, it is a plain copy. The lamps' row is a picture of its own.
    const qreal ratio = still_.devicePixelRatio();
    const QRect row = lamps_row();
    for (const QRect &part : region) {
        p.setClipRect(part);
        if (!row.contains(part))
            p.drawPixmap(part, still_,
                         QRectF(part.topLeft() * ratio, QSizeF(part.size()) * ratio).toRect());
        if (part.intersects(row))
            p.drawPixmap(row.topLeft(), lamp_row(s.data, s.rotor));
    }
    p.setClipping(false);

    // The end switches and the carriage, where they are to be painted.
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const auto fill = [&](const QRectF &part, const QColor &colour) {
        if (region.intersects(part.toAlignedRect())) {
            p.setBrush(colour);
            p.drawRect(part);
        }
    };
    fill(home_switch(), s.home_closed ? SWITCH_CLOSED : SWITCH_OPEN);
    fill(far_switch(), s.far_closed ? SWITCH_CLOSED : SWITCH_OPEN);
    fill(carriage(s.position), CARRIAGE);

    // Counters, on their baseline: no line breaking to work out. Text costs
    // the most, so it is left out where nothing is to be painted.
    if (!region.intersects(counters().toAlignedRect()))
        return;
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(counters().topLeft() + QPointF(0, fontMetrics().ascent()),
               tr("Carriage at step %1    Steps %2    Stalls %3")
                   .arg(counted_.position)
                   .arg(counted_.steps)
                   .arg(counted_.stalls));
}

void RigView::resizeEvent(QResizeEvent *)
{
    still_ = QPixmap(); // drawn again at the new size
}

void RigView::changeEvent(QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::PaletteChange || type == QEvent::FontChange ||
        type == QEvent::StyleChange || type == QEvent::LanguageChange)
        still_ = QPixmap();
    QWidget::changeEvent(event);
}

void RigView::show_beside(const QWidget &panel)
{
    if (placed_)
        return;
    placed_ = true;
    if (!testAttribute(Qt::WA_Resized))
        adjustSize(); // the size it will be shown at
    // Not shown yet, the view has no frame; the panel's frame is a fair guess
    // at what the window manager will add.
    const QRect outer = panel.frameGeometry();
    const QSize frame = size() + (outer.size() - panel.geometry().size());
    const QScreen *screen = panel.screen();
    if (screen)
        move(place_beside(outer, frame, screen->availableGeometry()));
    else
        move(outer.x() + outer.width() + GAP, outer.y());
    show();
}

} // namespace stelmo
