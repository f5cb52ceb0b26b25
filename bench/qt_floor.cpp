// What Qt Widgets cost on this machine for the least of what stelmo shows
// while stepping, with none of stelmo around it: a read-only spin box given a
// new value every screen frame, and a second small window repainting a moving
// rectangle every frame. Its CPU share, shown beside stelmo's, is the floor
// under it; the window is named "qt floor" for the bench to find.
//
//   qt_floor
#include <QApplication>
#include <QDoubleSpinBox>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cmath>
#include <cstdlib>

namespace {

// A carriage on its track, moved one pixel a frame.
class Track : public QWidget {
public:
    int at = 0;

    QRect carriage() const { return {12 + at % 340, 81, 14, 16}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), palette().window());
        p.fillRect(carriage(), QColor(40, 110, 220));
    }
};

} // namespace

int main(int argc, char **argv)
{
    // As stelmo repaints: plain images to the X server, no shared memory.
    ::setenv("QT_XCB_NO_MITSHM", "1", 0);
    QApplication app(argc, argv);
    QWidget panel;
    panel.setWindowTitle("qt floor");
    auto *layout = new QVBoxLayout(&panel);
    auto *display = new QDoubleSpinBox;
    display->setReadOnly(true);
    display->setButtonSymbols(QAbstractSpinBox::NoButtons);
    display->setFocusPolicy(Qt::NoFocus);
    display->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    display->setRange(0, 340);
    display->setDecimals(2);
    display->setFixedWidth(176); // as wide as stelmo's panel shows it
    layout->addWidget(display);
    panel.resize(420, 300);
    panel.show();
    Track track;
    track.setWindowTitle("qt floor, track");
    track.resize(380, 140);
    track.show();

    const QScreen *screen = QGuiApplication::primaryScreen();
    const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    double value = 0;
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    QObject::connect(&frames, &QTimer::timeout, [&] {
        value = value >= 339 ? 0 : value + 1.7;
        display->setValue(value);
        // Only where the carriage was and now is, as stelmo's rig view.
        QRegion parts(track.carriage());
        ++track.at;
        track.update(parts + track.carriage());
    });
    frames.start(static_cast<int>(std::lround(1000.0 / hz)));
    return app.exec();
}
