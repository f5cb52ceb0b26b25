// Faults the run-time layer meets while the program runs, said without
// flooding stderr: the first fault of each kind is reported at once; repeats
// are only counted, and summed up in one line per kind at most every
// SUMMARY_INTERVAL and at exit. A fault that comes back on every tick thus
// gives a line every few seconds, and one kind never hides another. No Qt.
//
// A kind is a short text chosen by the caller that names what failed and
// where, never the value involved: "/dev/port: reading port 0x37a", not the
// byte or the errno. Summaries quote it: "<kind>: repeated 499 times in the
// last 5.0 s, 500 times in all".
#pragma once

#include "runtime/base/report.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace stelmo::diagnostics {

using Clock = std::chrono::steady_clock;

// Repeats of a kind are summed up at most this often.
constexpr Clock::duration SUMMARY_INTERVAL = std::chrono::seconds(5);
// Kinds told apart. Faults of further kinds are only counted, together.
constexpr std::size_t KINDS_MAX = 128;
// Bytes of a kind kept to name it in summaries (a longer one is cut, but
// still told apart by the whole text).
constexpr std::size_t KIND_SHOWN_MAX = 200;

// A table of fault kinds and their counts. Safe to use from several threads
// (the tick thread and the GUI thread); counting a repeat takes a short lock,
// a few compares and no allocation.
class FaultLog {
public:
    // Counts a fault of `kind`. True when it is the first of its kind: then,
    // and only then, the caller reports it. When the table is full, a new
    // kind is counted with the further kinds and false returned; the first
    // time that happens a line says so.
    bool first_of(std::string_view kind, Clock::time_point now = Clock::now());

    // Counts a fault of `kind` and, when it is the first of its kind,
    // reports message() (a callable giving the line without "stelmo: "),
    // which is built only then.
    template <class Message>
    void fault(std::string_view kind, Message &&message, Clock::time_point now = Clock::now())
    {
        if (first_of(kind, now))
            report(message());
    }

    // Reports one summary line per kind with repeats not yet told, once
    // SUMMARY_INTERVAL has passed since that kind's last line; with `all`,
    // every such kind at once (at exit).
    void flush_repeats(Clock::time_point now = Clock::now(), bool all = false);

private:
    struct Kind {
        std::uint64_t hash = 0;          // of the whole kind text
        std::size_t length = 0;          // bytes of `shown` in use
        char shown[KIND_SHOWN_MAX] = {}; // the kind text, cut at a character boundary
        long total = 0;                  // faults of this kind in all, >= 1
        long untold = 0;                 // of them since its last line, >= 0
        Clock::time_point told;          // when its last line was said
    };
    // The entry for `kind`, a new one when there is room, else null.
    Kind *find(std::string_view kind, std::uint64_t hash, bool &added);

    // --- state --------------------------------------------------------------
    std::mutex guard_;      // around everything below
    Kind kinds_[KINDS_MAX]; // in the order first seen
    std::size_t used_ = 0;  // entries of kinds_ in use, 0..KINDS_MAX
    Kind further_;          // faults of kinds beyond KINDS_MAX, counted together
    long untold_all_ = 0;   // untold repeats over all entries, so a flush with none is quick
};

// The process's fault log. Its untold repeats are summed up when the process
// exits normally.
FaultLog &faults();

// faults().fault(kind, message): reports the first fault of `kind`, counts
// the rest.
template <class Message> void fault(std::string_view kind, Message &&message)
{
    faults().fault(kind, static_cast<Message &&>(message));
}

// faults().flush_repeats(): the summaries that are due. Cheap when there are
// none; call it every second or so from a timer, on any thread.
void flush_repeats();

} // namespace stelmo::diagnostics
