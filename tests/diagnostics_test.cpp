// The fault log: the first fault of a kind is said, repeats are counted and
// summed up when due, kinds never hide each other, and a full table says so
// once.
#include "runtime/base/diagnostics.h"

#include "runtime/base/text.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

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
            for (int i = 0; i < 3; ++i)
                fault("trace file t", [] { return "trace file t: lost"; });
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^stelmo: trace file t: lost\nstelmo: trace file t: repeated 2 times in the last "
        "[0-9.]+ s, 3 times in all\n$");
}

} // namespace
