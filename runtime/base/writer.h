// Lines written by a thread of their own, so that whoever has a line to say
// (a tick holding the engine's lock, the event loop) never waits for where
// it goes: a terminal stopped with Ctrl+S, a pipe nobody reads, a slow disk.
// The line is copied into a bounded queue and the writer's thread writes it;
// a line that finds the queue full is dropped and counted, and so is one the
// destination does not take, and the count is noted before the next line
// that gets through. No Qt.
//
// Lines are written in batches: a line that finds the writer idle wakes it at
// once, and after writing the writer gathers for up to BATCH before it looks
// again, so a steady stream of lines (a trace line per tick) wakes it about
// ten times a second rather than once a line. A queue half full, settle() and
// stopping wake it at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>

namespace stelmo {

// Where a LineWriter's lines go. Called on the writer's thread only.
class LineSink {
public:
    virtual ~LineSink() = default;
    // Writes `text` (one or more whole lines), after a note that `lost`
    // lines before it could not be written (0: none). False when `text`
    // could not be written: it is then counted as lost as well. Must return
    // within a short while once `stopping` is true.
    virtual bool put(std::string_view text, long lost, const std::atomic<bool> &stopping) = 0;
};

class LineWriter {
public:
    using Clock = std::chrono::steady_clock;

    // The longest line kept whole (bytes); a longer one is cut to this.
    static constexpr std::size_t ENTRY_MAX = 16 * 1024;
    // How long stopping a writer waits for its queue to be written.
    static constexpr Clock::duration STOP_WAIT = std::chrono::milliseconds(500);
    // How long the writer gathers lines after writing before it writes again.
    static constexpr Clock::duration BATCH = std::chrono::milliseconds(100);

    // A writer to `sink` with a queue of `capacity` bytes (at least
    // ENTRY_MAX), its thread started. Null with `error` set when no thread
    // can be had. `sink` must outlive the writer.
    static std::unique_ptr<LineWriter> start(LineSink &sink, std::size_t capacity,
                                             std::string &error);
    // Waits up to STOP_WAIT for what is queued, then ends the thread.
    ~LineWriter();
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    // Queues the line made of `parts`. Never waits for the writer or the
    // destination and allocates nothing: a copy under a short lock. False
    // when the queue has no room: the line is lost and counted.
    bool add(std::initializer_list<std::string_view> parts);

    // Waits until every line queued before the call is written or lost, or
    // until `deadline`; true when it is.
    bool settle(Clock::time_point deadline);

    // Lines lost so far: dropped from a full queue or not taken by the sink.
    long lost() const { return lost_.load(std::memory_order_relaxed); }

private:
    LineWriter(LineSink &sink, std::size_t capacity);
    static void *run(void *self) noexcept;
    void loop();
    void write_next();
    bool room_for(std::size_t need);

    // Each queued line: this header, then its bytes, padded to 8.
    struct Entry {
        std::uint32_t length; // bytes of the line; WRAP: go on at the start
        std::uint32_t unused;
        long lost; // lines dropped from a full queue just before this one
    };
    static constexpr std::uint32_t WRAP = 0xFFFFFFFFu;

    LineSink &sink_;
    const std::size_t capacity_;
    std::unique_ptr<char[]> ring_;

    // Guards the fields below; priority inheriting, so a real-time tick
    // adding a line never waits behind ordinary processes for the writer,
    // which holds it only to look at the queue.
    pthread_mutex_t guard_;
    pthread_cond_t wake_;     // the writer waits for a line, or for stopping
    pthread_cond_t settled_;  // settle() waits for lines to be done
    std::size_t head_ = 0;    // where the next line to write begins
    std::size_t tail_ = 0;    // where the next line added goes
    std::size_t used_ = 0;    // bytes of the ring in use, 0..capacity_
    long dropped_ = 0;        // lines dropped since the last one queued
    std::uint64_t added_ = 0; // lines queued in all
    std::uint64_t done_ = 0;  // of them, written or lost
    bool idle_ = false;       // the writer waits for a line with nothing queued
    int settling_ = 0;        // settle() calls waiting: the writer does not gather

    std::atomic<bool> stopping_{false};
    std::atomic<long> lost_{0};
    long unnoted_ = 0; // writer's thread: lost lines not yet noted to the sink
    pthread_t thread_{};
    bool started_ = false; // thread_ runs until the destructor ends it
};

// Waits until the lines of every writer are written, at most until a
// deadline of EXIT_WAIT from the first call: at exit, so that the last lines
// get out where their destination takes them, while a destination that
// takes nothing holds the end of the process up only that long.
constexpr std::chrono::milliseconds EXIT_WAIT{500};
void settle_writers_at_exit();

} // namespace stelmo
