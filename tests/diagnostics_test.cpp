// The fault log: the first fault of a kind is said, repeats are counted and
// summed up when due, kinds never hide each other, and a full table says so
// once. The writer its lines are queued for: lines come out whole and in
// order or are counted, and the last ones get out at exit.
#include "runtime/base/diagnostics.h"

#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/base/writer.h"
#include "support.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace stelmo::diagnostics;
using namespace std::chrono_literals;

namespace {

TEST(DiagnosticsTest, FirstIsSaidRepeatsAreSummedUpAndKindsStayApart)
{
    auto log = std::make_unique<FaultLog>();
    const Clock::time_point t0{};
    int built = 0;
    support::StderrCapture capture;
    for (int i = 0; i < 500; ++i) // every tick, each time with another value
        log->fault(
            "/dev/port: reading port 0x37a",
            [&] {
                ++built;
                return "/dev/port: reading port 0x37a failed with " + std::to_string(i);
            },
            t0 + i * 10ms);
    log->flush_repeats(t0 + 4s); // not due yet
    log->fault(
        "/dev/port: writing port 0x378", [] { return "/dev/port: writing failed"; }, t0 + 4s);
    log->flush_repeats(t0 + 5s);
    log->flush_repeats(t0 + 6s); // nothing new
    log->fault(
        "/dev/port: reading port 0x37a", [] { return "not said"; }, t0 + 7s);
    log->fault(
        "/dev/port: writing port 0x378", [] { return "not said"; }, t0 + 7s);
    log->flush_repeats(t0 + 8s, true); // at exit: whatever is untold

    // Two kinds are known; fill the table, then three kinds more.
    for (int k = 0; k < static_cast<int>(KINDS_MAX) + 1; ++k)
        log->fault("kind " + std::to_string(k), [&] { return "kind " + std::to_string(k); });
    log->flush_repeats(Clock::now(), true);

    EXPECT_EQ(built, 1);
    const auto lines = support::lines_of(capture.text());
    ASSERT_EQ(lines.size(), 5u + (KINDS_MAX - 2) + 2);
    EXPECT_EQ(lines[0], "stelmo: /dev/port: reading port 0x37a failed with 0");
    EXPECT_EQ(lines[1], "stelmo: /dev/port: writing failed"); // a new kind is said at once
    EXPECT_EQ(lines[2], "stelmo: /dev/port: reading port 0x37a: repeated 499 times in the last "
                        "5.0 s, 500 times in all");
    EXPECT_EQ(lines[3], "stelmo: /dev/port: reading port 0x37a: repeated once in the last 3.0 s, "
                        "501 times in all");
    EXPECT_EQ(lines[4], "stelmo: /dev/port: writing port 0x378: repeated once in the last 4.0 s, "
                        "2 times in all");
    EXPECT_EQ(lines[5], "stelmo: kind 0");
    EXPECT_EQ(lines[5 + KINDS_MAX - 3], "stelmo: kind " + std::to_string(KINDS_MAX - 3));
    EXPECT_EQ(lines[5 + KINDS_MAX - 2], "stelmo: more than " + std::to_string(KINDS_MAX) +
                                            " kinds of fault so far; faults of further kinds are "
                                            "only counted");
    EXPECT_EQ(lines.back().rfind("stelmo: faults of further kinds: repeated 2 times", 0), 0u)
        << lines.back();
    EXPECT_NE(lines.back().find(", 3 times in all"), std::string::npos) << lines.back();
}

// A summary is put into words when it is said, in the operator's language,
// whose word order may differ; a "%2" in a kind is the kind's own text.
TEST(DiagnosticsTest, SummariesAreTranslatedWhenSaid)
{
    auto log = std::make_unique<FaultLog>();
    const Clock::time_point t0{};
    support::StderrCapture capture;
    for (int i = 0; i < 3; ++i)
        log->fault(
            "device %2", [] { return "first"; }, t0 + i * 1s);
    stelmo::set_translator([](const char *, const char *english) -> std::string {
        const std::string_view text = english;
        if (text == "%1: repeated %2 in the last %3 s, %4 times in all")
            return "%4 in all, %2 in %3 s: %1";
        return text == "%1 times" ? "%1x" : english;
    });
    log->flush_repeats(t0 + 5s, true);
    stelmo::set_translator(nullptr);
    EXPECT_EQ(capture.text(), "stelmo: first\nstelmo: 3 in all, 2x in 5.0 s: device %2\n");
}

TEST(DiagnosticsTest, TheProcessLogSumsUpAtExit)
{
    EXPECT_EXIT(
        {
            stelmo::queue_reports(); // as the engine runs: the lines wait for the writer
            for (int i = 0; i < 3; ++i)
                fault("trace file t", [] { return "trace file t: lost"; });
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^stelmo: trace file t: lost\nstelmo: trace file t: repeated 2 times in the last "
        "[0-9.]+ s, 3 times in all\n$");
}

// Lines through the smallest queue: first of one length while the
// destination is stuck on the third, so that the queue wraps round and fills
// up to the line being written; then of every length while the writer races
// the lines added. Each line queued comes out whole and in order, and every
// line dropped from a full queue is noted before the next line that gets
// through.
TEST(DiagnosticsTest, QueuedLinesComeOutWholeInOrderOrAreNoted)
{
    struct Sink : stelmo::LineSink {
        std::mutex guard;
        std::condition_variable changed;
        std::size_t taken = 0; // lines it takes before it is stuck
        std::vector<std::string> got;
        long noted = 0;
        bool put(std::string_view text, long lost, const std::atomic<bool> &) override
        {
            std::unique_lock hold(guard);
            changed.wait(hold, [this] { return got.size() < taken; });
            got.emplace_back(text);
            noted += lost;
            changed.notify_all();
            return true;
        }
        void take(std::size_t lines)
        {
            std::unique_lock hold(guard);
            taken = lines;
            changed.notify_all();
            changed.wait(hold, [&] { return got.size() >= std::min<std::size_t>(lines, 2); });
        }
    } sink;
    std::string error;
    auto writer = stelmo::LineWriter::start(sink, 0, error);
    ASSERT_TRUE(writer) << error;
    std::vector<std::string> queued;
    const auto add = [&](const std::string &line) {
        const std::size_t split = line.size() / 2;
        if (writer->add({line.substr(0, split), line.substr(split)}))
            queued.push_back(line);
    };
    for (int i = 0; i < 1000; ++i) {
        add(std::string(40, 'x') + std::to_string(1000 + i) + "...\n"); // 48 bytes each
        if (i == 2)
            sink.take(2);
    }
    EXPECT_GT(writer->lost(), 0);
    sink.take(1000000);
    for (int i = 0; i < 20000; ++i)
        add(std::string(static_cast<std::size_t>(i * 37 % 900), static_cast<char>('a' + i % 26)) +
            std::to_string(i) + "\n");
    ASSERT_TRUE(writer->settle(stelmo::LineWriter::Clock::now() + 30s));
    add("last\n"); // after the last drop, so the note of it is written
    ASSERT_TRUE(writer->settle(stelmo::LineWriter::Clock::now() + 30s));
    const std::lock_guard hold(sink.guard);
    EXPECT_TRUE(sink.got == queued) << sink.got.size() << " lines out of " << queued.size();
    EXPECT_EQ(sink.noted, writer->lost());
    EXPECT_EQ(static_cast<long>(queued.size()) + writer->lost(), 21001);
}

} // namespace
