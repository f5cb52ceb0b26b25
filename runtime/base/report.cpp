#include "runtime/base/report.h"

#include "runtime/base/text.h"
#include "runtime/base/writer.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace stelmo {

namespace {

// Bytes of report lines that may wait for stderr: some hundreds of lines.
constexpr std::size_t QUEUE_BYTES = 64 * 1024;
constexpr std::chrono::milliseconds SETTLE_WAIT{1000};

// Writes report lines to stderr, which may be shared with a terminal or the
// parent, so it is written as it is (never made non-blocking): the writer's
// thread may wait in write() for as long as stderr takes.
class StderrSink : public LineSink {
public:
    bool put(std::string_view text, long lost, const std::atomic<bool> &) override
    {
        if (lost > 0)
            write_all(STDERR_FILENO,
                      "stelmo: " +
                          fill_in(tr_text("Report", "%1 earlier lines could not be written to "
                                                    "standard error; it did not take them"),
                                  lost) +
                          "\n");
        return write_all(STDERR_FILENO, text) == 0;
    }
};

// --- state ------------------------------------------------------------------
// The writer of report lines once queue_reports() started it; never
// destroyed, as a thread may report while the process ends.
std::atomic<LineWriter *> queued{nullptr};

} // namespace

void report(std::string_view message)
{
    if (LineWriter *writer = queued.load(std::memory_order_acquire)) {
        writer->add({"stelmo: ", message, "\n"});
        return;
    }
    std::string line = "stelmo: ";
    line += message;
    line += '\n';
    write_all(STDERR_FILENO, line); // should stderr be gone, nothing better can be done
}

void queue_reports()
{
    if (queued.load())
        return;
    static StderrSink sink;
    std::string error;
    if (auto writer = LineWriter::start(sink, QUEUE_BYTES, error)) {
        queued.store(writer.release(), std::memory_order_release);
        std::atexit(&settle_writers_at_exit); // the last lines out, within a bound
    }
}

void settle_reports()
{
    if (LineWriter *writer = queued.load(std::memory_order_acquire))
        writer->settle(LineWriter::Clock::now() + SETTLE_WAIT);
}

} // namespace stelmo
