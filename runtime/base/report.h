// One-line error reports of the run-time layer on stderr.
#pragma once

#include <string_view>

namespace stelmo {

// Writes "stelmo: <message>" and a newline to stderr in one write, so lines
// from different places never interleave.
void report(std::string_view message);

} // namespace stelmo
