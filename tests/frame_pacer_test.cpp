// The frame pacer refreshes each of its clients at most once per frame, and
// only while something changes.
#include "runtime/clock/frame_pacer.h"

#include <QElapsedTimer>
#include <QGuiApplication>

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
    stelmo::FramePacer pacer;
    int refreshes = 0;
    const auto client = pacer.add([&refreshes] { ++refreshes; });
    ASSERT_GT(pacer.frame_ms(), 0);
    for (int i = 0; i < 100; ++i)
        pacer.mark(client);
    EXPECT_EQ(refreshes, 0); // never on the marking path
    EXPECT_TRUE(pacer.running());
    run_for(pacer.frame_ms() * 3 / 2);
    EXPECT_EQ(refreshes, 1);

    // Marked in every frame: one refresh per frame, never more.
    for (int frame = 0; frame < 5; ++frame) {
        pacer.mark(client);
        run_for(pacer.frame_ms() * 3 / 2);
    }
    EXPECT_LE(refreshes, 6);
    EXPECT_GE(refreshes, 4); // a busy machine may merge two marks into one frame

    // A frame with nothing to do stops it: no wake-ups while nothing moves.
    run_for(pacer.frame_ms() * 3);
    EXPECT_FALSE(pacer.running());
    EXPECT_FALSE(pacer.pending());
}

TEST(FramePacer, RefreshesOnlyTheClientsThatChanged)
{
    stelmo::FramePacer pacer;
    int display = 0;
    int view = 0;
    const auto display_client = pacer.add([&display] { ++display; });
    const auto view_client = pacer.add([&view] { ++view; });

    pacer.mark(view_client);
    run_for(pacer.frame_ms() * 3 / 2);
    EXPECT_EQ(display, 0);
    EXPECT_EQ(view, 1);

    pacer.mark(display_client);
    pacer.mark(view_client);
    pacer.flush(); // at once, both
    EXPECT_EQ(display, 1);
    EXPECT_EQ(view, 2);
    EXPECT_FALSE(pacer.pending());
    pacer.flush(); // nothing changed since
    run_for(pacer.frame_ms() * 3);
    EXPECT_EQ(display, 1);
    EXPECT_EQ(view, 2);
    EXPECT_FALSE(pacer.running());

    // A removed client is never refreshed again, even when marked.
    pacer.mark(view_client);
    pacer.remove(view_client);
    pacer.mark(view_client);
    run_for(pacer.frame_ms() * 3 / 2);
    EXPECT_EQ(view, 2);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
