// The frame pacer refreshes at most once per frame, and only while something
// changes.
#include "runtime/clock/frame_pacer.h"

#include <QGuiApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

// Runs the event loop for `ms` milliseconds.
void run_for(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QGuiApplication::processEvents(QEventLoop::AllEvents, 5);
}

TEST(FramePacer, RefreshesOncePerFrameAndStopsWhenQuiet)
{
    int refreshes = 0;
    stelmo::FramePacer pacer([&refreshes] { ++refreshes; });
    ASSERT_GT(pacer.frame_ms(), 0);
    for (int i = 0; i < 100; ++i)
        pacer.mark();
    EXPECT_EQ(refreshes, 0); // never on the marking path
    EXPECT_TRUE(pacer.running());
    run_for(pacer.frame_ms() * 3 / 2);
    EXPECT_EQ(refreshes, 1);

    // Marked in every frame: one refresh per frame, never more.
    for (int frame = 0; frame < 5; ++frame) {
        pacer.mark();
        run_for(pacer.frame_ms() * 3 / 2);
    }
    EXPECT_LE(refreshes, 6);
    EXPECT_GE(refreshes, 4); // a busy machine may merge two marks into one frame

    // A frame with nothing to do stops it: no wake-ups while nothing moves.
    run_for(pacer.frame_ms() * 3);
    EXPECT_FALSE(pacer.running());
    EXPECT_FALSE(pacer.pending());
}

TEST(FramePacer, FlushRefreshesAtOnceOnlyWhenSomethingChanged)
{
    int refreshes = 0;
    stelmo::FramePacer pacer([&refreshes] { ++refreshes; });
    pacer.flush();
    EXPECT_EQ(refreshes, 0);
    pacer.mark();
    pacer.flush();
    EXPECT_EQ(refreshes, 1);
    EXPECT_FALSE(pacer.pending());
    run_for(pacer.frame_ms() * 3); // the frame that follows has nothing left
    EXPECT_EQ(refreshes, 1);
    EXPECT_FALSE(pacer.running());
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
