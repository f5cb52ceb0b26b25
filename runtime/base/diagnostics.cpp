// The fault log. Counting happens under one mutex, held for a scan of at most
// KINDS_MAX entries; lines are composed and written after it is released, so
// a slow stderr or a translation never holds up a thread that only counts.
#include "runtime/base/diagnostics.h"

#include "runtime/base/text.h"
#include "runtime/base/writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace stelmo::diagnostics {

namespace {

std::uint64_t fnv1a(std::string_view text)
{
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    return hash;
}

// The bytes of `text` that fit in `room`, not splitting a UTF-8 sequence.
std::size_t cut(std::string_view text, std::size_t room)
{
    if (text.size() <= room)
        return text.size();
    std::size_t length = room;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0u) == 0x80u)
        --length;
    return length;
}

} // namespace

FaultLog::Kind *FaultLog::find(std::string_view kind, std::uint64_t hash, bool &added)
{
    const std::size_t length = cut(kind, KIND_SHOWN_MAX);
    added = false;
    for (std::size_t i = 0; i < used_; ++i) {
        Kind &entry = kinds_[i];
        if (entry.hash == hash && entry.length == length &&
            std::memcmp(entry.shown, kind.data(), length) == 0)
            return &entry;
    }
    if (used_ == KINDS_MAX)
        return nullptr;
    Kind &entry = kinds_[used_++];
    entry.hash = hash;
    entry.length = length;
    std::memcpy(entry.shown, kind.data(), length);
    added = true;
    return &entry;
}

bool FaultLog::first_of(std::string_view kind, Clock::time_point now)
{
    const std::uint64_t hash = fnv1a(kind);
    bool full_now = false; // this fault is the first that found the table full
    {
        const std::lock_guard lock(guard_);
        bool added = false;
        Kind *entry = find(kind, hash, added);
        if (added) {
            entry->total = 1;
            entry->told = now;
            return true;
        }
        if (!entry) {
            entry = &further_; // named when its line is said
            full_now = further_.total == 0;
            if (full_now)
                further_.told = now;
        }
        ++entry->total;
        if (!full_now) {
            ++entry->untold;
            ++untold_all_;
        }
    }
    if (full_now)
        report(fill_in(tr_text("FaultLog",
                               "more than %1 kinds of fault so far; faults of further kinds are "
                               "only counted"),
                       KINDS_MAX));
    return false;
}

void FaultLog::flush_repeats(Clock::time_point now, bool all)
{
    std::size_t next = 0; // entries before it are done; used_ stands for further_
    for (;;) {
        // What the line says, copied out under the lock.
        char shown[KIND_SHOWN_MAX];
        std::size_t length = 0;
        bool further = false;
        long untold = 0;
        long total = 0;
        char seconds[32];
        {
            const std::lock_guard lock(guard_);
            if (untold_all_ == 0)
                return;
            Kind *due = nullptr;
            for (; next <= used_ && !due; ++next) {
                Kind &entry = next < used_ ? kinds_[next] : further_;
                if (entry.untold > 0 && (all || now - entry.told >= SUMMARY_INTERVAL))
                    due = &entry;
            }
            if (!due)
                return;
            further = due == &further_;
            length = due->length;
            std::memcpy(shown, due->shown, length);
            untold = due->untold;
            total = due->total;
            std::snprintf(seconds, sizeof seconds, "%.1f",
                          std::chrono::duration<double>(now - due->told).count());
            untold_all_ -= due->untold;
            due->untold = 0;
            due->told = now;
        }
        const std::string kind =
            further ? tr_text("FaultLog", "faults of further kinds") : std::string(shown, length);
        const std::string times = untold == 1 ? tr_text("FaultLog", "once")
                                              : fill_in(tr_text("FaultLog", "%1 times"), untold);
        report(fill_in(tr_text("FaultLog", "%1: repeated %2 in the last %3 s, %4 times in all"),
                       kind, times, seconds, total));
    }
}

FaultLog &faults()
{
    // Never destroyed: a thread may still count a fault while the process
    // exits. The summary at exit runs before any destructor.
    static FaultLog *const log = [] {
        std::atexit([] {
            faults().flush_repeats(Clock::now(), true);
            settle_writers_at_exit(); // the summaries just queued
        });
        return new FaultLog;
    }();
    return *log;
}

void flush_repeats()
{
    faults().flush_repeats();
}

} // namespace stelmo::diagnostics
