// One-line error reports of the run-time layer on stderr.
#pragma once

#include <string_view>

namespace stelmo {

// Writes "stelmo: <message>" and a newline to stderr in one write, so lines
// from different places never interleave. Once queue_reports() has been
// called the line is queued instead, for a writer thread of its own, and the
// caller never waits for stderr.
void report(std::string_view message);

// From now on report() queues its lines (see runtime/base/writer.h): a
// stderr that takes nothing (a stopped terminal, a full pipe) then costs
// lines, counted and noted once it takes lines again, and never holds up a
// tick or the event loop. When no writer thread can be had, report() goes on
// writing itself. Once, by the engine as it starts.
void queue_reports();

// Waits until the lines said so far are on stderr, at most a second; for
// a process about to end and for tests that read stderr.
void settle_reports();

} // namespace stelmo
