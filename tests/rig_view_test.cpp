// The "Simulated rig" window draws what the rig's state says, offscreen.
#include "runtime/view/rig_view.h"

#include "manual_frames.h"

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QScreen>

#include <gtest/gtest.h>

namespace {

using stelmo::RigView;
using stelmo::ports::RIG_START;
using stelmo::ports::RIG_TRAVEL;
using stelmo::ports::SimRig;

const QColor LAMP_ON(255, 170, 0);
const QColor LAMP_OFF(70, 70, 70);
const QColor SWITCH_CLOSED(40, 200, 60);
const QColor SWITCH_OPEN(150, 150, 150);
const QColor CARRIAGE(40, 110, 220);

QColor at(const QImage &image, QPointF point)
{
    return image.pixelColor(point.toPoint());
}

// Moves the carriage `steps` full steps (negative: towards home) by energising
// phases on the data register, as the drive does.
void move(SimRig &rig, int steps)
{
    for (int i = 0; i < std::abs(steps); ++i) {
        const int next = (rig.state().rotor + (steps > 0 ? 1 : 3)) % 4;
        rig.write(0x378, static_cast<std::uint8_t>(1 << next));
    }
}

class RigViewTest : public ::testing::Test {
protected:
    SimRig rig;
    support::ManualFrames frames;
    stelmo::CallbackLock lock;
    RigView view{rig, frames.pacer(), lock};

    void SetUp() override { view.resize(view.sizeHint()); }
    // The view after the next frame, which copies the rig's state.
    QImage shot()
    {
        frames.pacer().flush();
        return view.grab().toImage();
    }
};

TEST_F(RigViewTest, LampsFollowTheDataLines)
{
    const std::uint8_t patterns[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x05, 0xf8};
    for (std::uint8_t data : patterns) {
        rig.write(0x378, data);
        const QImage image = shot();
        for (int phase = 0; phase < 4; ++phase)
            EXPECT_EQ(at(image, view.lamp(phase).center()),
                      (data >> phase) & 1 ? LAMP_ON : LAMP_OFF)
                << "data " << int(data) << " phase " << phase;
    }
}

TEST_F(RigViewTest, CarriageIsDrawnWhereTheRigHasIt)
{
    for (int steps : {0, -37, -83, 200, 40}) {
        move(rig, steps);
        const int position = rig.state().position;
        const QImage image = shot();
        EXPECT_EQ(at(image, view.carriage(position).center()), CARRIAGE) << position;
        // Nothing blue where the carriage was a few steps ago.
        const QPointF elsewhere = view.carriage(position + (position > 100 ? -20 : 20)).center();
        EXPECT_NE(at(image, elsewhere), CARRIAGE) << position;
    }

    // Painted from the copy the last frame took: a step is seen with the
    // next frame, not before.
    const int before = rig.state().position;
    move(rig, -30);
    EXPECT_EQ(at(view.grab().toImage(), view.carriage(before).center()), CARRIAGE);
}

// A frame repaints only what changed: what the screen holds afterwards (the
// window's backing store, not a fresh grab) has nothing left behind.
TEST_F(RigViewTest, RepaintedPartsLeaveNothingBehind)
{
    view.show();
    const auto on_screen = [this] {
        frames.pacer().flush();
        QApplication::processEvents(); // the repaint the frame asked for
        return view.screen()->grabWindow(view.winId()).toImage();
    };
    const int before = rig.state().position;
    on_screen();
    move(rig, 30);
    const QImage image = on_screen();
    EXPECT_EQ(at(image, view.carriage(before + 30).center()), CARRIAGE);
    EXPECT_NE(at(image, view.carriage(before).center()), CARRIAGE);
    for (int phase = 0; phase < 4; ++phase)
        EXPECT_EQ(at(image, view.lamp(phase).center()),
                  (rig.state().data >> phase) & 1 ? LAMP_ON : LAMP_OFF)
            << "phase " << phase;
}

TEST_F(RigViewTest, EndSwitchesLightWhenClosed)
{
    QImage image = shot();
    EXPECT_EQ(at(image, view.home_switch().center()), SWITCH_OPEN);
    EXPECT_EQ(at(image, view.far_switch().center()), SWITCH_OPEN);

    move(rig, -RIG_START);
    ASSERT_TRUE(rig.state().home_closed);
    image = shot();
    EXPECT_EQ(at(image, view.home_switch().center()), SWITCH_CLOSED);
    EXPECT_EQ(at(image, view.far_switch().center()), SWITCH_OPEN);
    // A screen reader gets the same from the same frame (120 steps back
    // from the rotor at D0 end at D0 again).
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&view)->text(QAccessible::Description),
              "Carriage at step 0; home switch closed, far switch open; phase D0 on");

    move(rig, RIG_TRAVEL + 3);
    ASSERT_TRUE(rig.state().far_closed);
    image = shot();
    EXPECT_EQ(at(image, view.home_switch().center()), SWITCH_OPEN);
    EXPECT_EQ(at(image, view.far_switch().center()), SWITCH_CLOSED);
    EXPECT_EQ(at(image, view.carriage(rig.state().position).center()), CARRIAGE);
}

TEST_F(RigViewTest, TrackSpansTheHardStopsInOrder)
{
    EXPECT_LT(view.carriage(-5).center().x(), view.home_switch().center().x());
    EXPECT_LT(view.home_switch().center().x(), view.far_switch().center().x());
    EXPECT_LT(view.far_switch().center().x(), view.carriage(245).center().x());
    EXPECT_TRUE(view.track().contains(view.carriage(-5).center()));
    EXPECT_TRUE(view.track().contains(view.carriage(245).center()));
}

TEST_F(RigViewTest, RigChangesScheduleOneRepaintPerFrame)
{
    view.show();
    QApplication::processEvents();
    int paints = 0;
    struct Counter : QObject {
        int &n;
        explicit Counter(int &count) : n(count) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                ++n;
            return false;
        }
    } counter(paints);
    view.installEventFilter(&counter);
    move(rig, 50); // fifty changes within one frame
    QApplication::processEvents();
    EXPECT_EQ(paints, 0); // nothing painted on the tick path
    ASSERT_TRUE(frames.step());
    for (int i = 0; i < 100 && paints == 0; ++i)
        QApplication::processEvents();
    EXPECT_EQ(paints, 1);
    EXPECT_TRUE(frames.step()); // the frame after: nothing new, nothing painted
    QApplication::processEvents();
    EXPECT_EQ(paints, 1);
}

TEST_F(RigViewTest, ShowsBesideThePanelOnceWithoutTakingFocus)
{
    QWidget panel;
    panel.setGeometry(40, 50, 300, 120);
    panel.show();
    view.show_beside(panel);
    EXPECT_TRUE(view.isVisible());
    EXPECT_GE(view.x(), panel.frameGeometry().right());
    EXPECT_TRUE(view.testAttribute(Qt::WA_ShowWithoutActivating));
    view.move(500, 400); // moved by the operator: stays there
    view.show_beside(panel);
    EXPECT_EQ(view.pos(), QPoint(500, 400));
}

// A panel near the right edge of the screen (as at 2x scaling, where the
// screen is half as wide in these device-independent pixels) leaves no room
// on its right: the view goes to its left, or below a panel as wide as the
// screen, and always lies within the screen's available area.
TEST_F(RigViewTest, ShowsBesideThePanelWithinTheScreen)
{
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    const int bottom = screen.y() + screen.height();
    struct Case {
        QRect panel;
        bool room; // for the view without covering the panel
    };
    for (const Case &c : {Case{{screen.right() - 299, screen.y() + 50, 300, 120}, true},
                          Case{{screen.x(), screen.y(), screen.width(), 120}, true},
                          Case{{screen.x(), bottom - 100, screen.width(), 100}, false}}) {
        QWidget panel;
        panel.setGeometry(c.panel);
        panel.show();
        RigView beside{rig, frames.pacer(), lock};
        beside.show_beside(panel);
        const QRect placed = beside.frameGeometry();
        EXPECT_TRUE(screen.contains(placed)) << placed.x() << "," << placed.y();
        if (c.room) {
            EXPECT_FALSE(placed.intersects(panel.frameGeometry()))
                << placed.x() << "," << placed.y();
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
