// The frame pacer refreshes each of its clients at most once per frame, and
// only while something changes. Frames are given by hand (ManualFrames).
#include "manual_frames.h"

#include <gtest/gtest.h>

namespace {

TEST(FramePacer, RefreshesOncePerFrameAndStopsWhenQuiet)
{
    support::ManualFrames frames;
    stelmo::FramePacer &pacer = frames.pacer();
    int refreshes = 0;
    const auto client = pacer.add([&] {
        if (++refreshes == 3)
            pacer.mark(0); // a change made while refreshing waits for the next frame
    });
    EXPECT_FALSE(frames.step()) << "the clock runs with nothing to show";

    for (int i = 0; i < 100; ++i)
        pacer.mark(client);
    EXPECT_EQ(refreshes, 0); // never on the marking path
    EXPECT_TRUE(pacer.running());
    ASSERT_TRUE(frames.step());
    EXPECT_EQ(refreshes, 1);

    // Marked in every frame: one refresh per frame.
    pacer.mark(client);
    pacer.mark(client);
    ASSERT_TRUE(frames.step());
    EXPECT_EQ(refreshes, 2);
    pacer.mark(client);
    ASSERT_TRUE(frames.step());
    EXPECT_EQ(refreshes, 3);
    ASSERT_TRUE(frames.step()) << "the mark made while refreshing was dropped";
    EXPECT_EQ(refreshes, 4);

    // A frame with nothing to do stops the clock: no wake-ups while nothing
    // moves.
    ASSERT_TRUE(frames.step());
    EXPECT_EQ(refreshes, 4);
    EXPECT_FALSE(pacer.running());
    EXPECT_FALSE(pacer.pending());
    EXPECT_FALSE(frames.step());
}

TEST(FramePacer, RefreshesOnlyTheClientsThatChanged)
{
    support::ManualFrames frames;
    stelmo::FramePacer &pacer = frames.pacer();
    int display = 0;
    int view = 0;
    const auto display_client = pacer.add([&display] { ++display; });
    const auto view_client = pacer.add([&view] { ++view; });

    pacer.mark(view_client);
    frames.step();
    EXPECT_EQ(display, 0);
    EXPECT_EQ(view, 1);

    pacer.mark(display_client);
    pacer.mark(view_client);
    pacer.flush(); // at once, both
    EXPECT_EQ(display, 1);
    EXPECT_EQ(view, 2);
    EXPECT_FALSE(pacer.pending());
    pacer.flush();               // nothing changed since
    EXPECT_TRUE(frames.step());  // the frame that was coming: nothing to show
    EXPECT_FALSE(frames.step()); // and then none
    EXPECT_EQ(display, 1);
    EXPECT_EQ(view, 2);

    // A removed client is never refreshed again, even when marked.
    pacer.mark(view_client);
    pacer.remove(view_client);
    pacer.mark(view_client);
    EXPECT_TRUE(frames.step());
    EXPECT_EQ(view, 2);
}

} // namespace
