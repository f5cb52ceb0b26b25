// The port trace: a backend that passes every access on to another one and
// writes a line per access to a file, a pipe or a terminal (STELMO_TRACE).
#pragma once

#include "runtime/base/writer.h"
#include "runtime/ports/ports.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace stelmo::ports {

// Data lines, one per access, times in seconds from when the trace was opened:
//   0.120034 out 0x378 0x08                 direction, program's port, byte
//   0.120034 out 0x378 0x08 0xd010          ... the physical port where a mapping applies
//   0.125040 in 0x37a 0x0d raw 0xcd         ... the byte the port gave, where the switch mask
//                                           changed it (the byte before it is the program's)
//   0.130051 in 0x37a 0xff failed           ... "failed" when the access failed or was refused
// Comment lines start with '#':
//   # stelmo 0.1.0 2026-12-08 10:15:02 +0100 · simulated rig · tick interval 10 ms
//       once per run, just before its first data line: the local date and time
//       of time 0, the backend and the tick interval
//   # lost 12 lines
//       lines that could not be written (disk full, a reader that does not
//       keep up or is gone), as soon as writing works again
//   # out 0x378 failed 98 times (1234 in all): No space left on device
//       writes that the traced backend learnt had failed only after their
//       "out" lines were queued (the port helper answers a write with its
//       next reply): the first at once, then at least once a second while
//       they go on, before the next line
//
// Every access queues its line, formatted on the stack, for a writer thread
// of the trace's own (runtime/base/writer.h); nothing on the access path
// allocates or waits for the destination. The writer writes each line whole
// with one write(2), or not at all: a short write to a regular file is cut
// off again. A pipe, FIFO or terminal that does not take lines holds up only
// the writer; the queue then fills, and the lines that find it full are lost
// and counted, never a step made late.
class TraceBackend : public Backend, private LineSink {
public:
    // Opens `path` and wraps `inner`. A regular file is appended to (created
    // 0644 if missing, never truncated); a pipe or FIFO, or a terminal, is
    // opened for stelmo alone and written without blocking. Anything else is
    // refused without being opened, a device above all, and so is a FIFO
    // that no process reads. Null with `error` set to one line when the
    // trace cannot be had, naming the file and `given`, where it was asked
    // for.
    static std::unique_ptr<TraceBackend> open(const std::string &path,
                                              std::unique_ptr<Backend> inner, std::string &error,
                                              std::string_view given = "STELMO_TRACE");
    // Writes what is queued (waiting at most LineWriter::STOP_WAIT), then
    // closes the file.
    ~TraceBackend() override;

    TraceBackend(const TraceBackend &) = delete;
    TraceBackend &operator=(const TraceBackend &) = delete;

    bool read(std::uint16_t port, std::uint8_t &value) override;
    bool read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw) override;
    bool write(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t physical(std::uint16_t port) const override { return inner_->physical(port); }

    // What the run's header line says after the version and the start time.
    // The engine passes, once the panel is loaded and before the first tick:
    // `backend` as the window title names it ("simulated rig",
    // "/dev/port (0x378→0xd010)"), and `interval` the step timer's interval
    // as the operator reads it ("10 ms"); an empty one is left out.
    // open_backend() has already set the backend. Call it with the engine's
    // callback lock held, or before any access: the access path reads the
    // header. Once the header is written, later calls change nothing.
    void set_run_info(std::string backend, std::string interval);

    // The traced backend.
    Backend &inner() { return *inner_; }
    // Lines that could not be written: dropped from a full queue or not
    // taken by the destination.
    long lost_lines() const { return writer_->lost(); }
    // Waits until the lines of the accesses so far are written or lost, at
    // most `wait`; true when they are.
    bool settle(std::chrono::milliseconds wait = std::chrono::seconds(10));

    // Where the lines go.
    enum class Destination {
        file,     // a regular file: written normally, a short write cut off again
        pipe,     // a pipe or FIFO: never waited for
        terminal, // a terminal: never waited for
    };

private:
    TraceBackend(std::unique_ptr<Backend> inner, int fd, Destination to, const std::string &path);
    // Formats the line of one access on the stack and queues it: `value` as
    // the program got or gave it, `raw` as the port gave it.
    void log(bool out, std::uint16_t port, std::uint8_t value, bool done, std::uint8_t raw);
    // The writer's side: writes a queued line, after the header when none is
    // out yet and a "# lost" note when lines were lost before it.
    bool put(std::string_view line, long lost, const std::atomic<bool> &stopping) override;
    // Writes `length` bytes of `text` (not called emit: Qt code includes this
    // header, where emit is a macro). False with `cause` (an errno value)
    // when they could not be written whole.
    bool write_out(const char *text, std::size_t length, const std::atomic<bool> &stopping,
                   int &cause);
    // Says the first lost line (an errno value, or EAGAIN for a full queue);
    // the fault log counts the rest.
    void say_lost(int cause);
    // Counts writes the traced backend learnt had failed (Backend::LateFailures).
    static void writes_failed(void *trace, std::uint16_t port, int cause, long count);
    // Queues the "# out ... failed" note when it is due (access path).
    void note_failed_writes(std::chrono::steady_clock::time_point now);

    // The most bytes of a run's header line, and of a data line.
    static constexpr std::size_t HEADER_MAX = 512;
    static constexpr std::size_t DATA_LINE_MAX = 128;
    // The most bytes written at once: a newline ending a torn line, the
    // header, a "# lost" note and a data line.
    static constexpr std::size_t TEXT_MAX = 1 + HEADER_MAX + 64 + DATA_LINE_MAX;
    // Bytes of lines that may wait for the writer: thousands of lines, some
    // tenths of a second at the fastest timer.
    static constexpr std::size_t QUEUE_BYTES = 256 * 1024;

    // --- state --------------------------------------------------------------
    std::unique_ptr<Backend> inner_;
    int fd_;
    Destination to_;
    std::string shown_;                           // the path, printable, for reports
    std::string loss_kind_;                       // the fault kind of lost lines
    std::chrono::steady_clock::time_point start_; // time 0 of the data lines
    std::string started_; // time 0 as local date and time, "2026-12-08 10:15:02 +0100"
    // The header line with its newline, at most HEADER_MAX bytes; fixed once
    // the first line is queued, from then on read by the writer's thread.
    std::string header_;
    bool queued_any_ = false; // a line was queued (access path)
    // Access path: writes learnt to have failed later, the port and errno of
    // the latest (0: not known), how many since the last "# out ... failed"
    // note and in all, and when the last note went out (none yet while
    // `failed_noted_` is false).
    std::uint16_t failed_port_ = 0;
    int failed_cause_ = 0;
    long failed_unnoted_ = 0;
    long failed_total_ = 0;
    bool failed_noted_ = false;
    std::chrono::steady_clock::time_point failed_noted_at_;
    // The writer's thread only:
    bool header_written_ = false;
    bool torn_ = false;                  // part of a line went out that could not be taken back
    std::unique_ptr<LineWriter> writer_; // last: stopped before the rest goes
};

} // namespace stelmo::ports
