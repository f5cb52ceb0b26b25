// The standard descriptors 0, 1 and 2, made safe to rely on. No Qt.
#pragma once

namespace stelmo {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// nothing opened later (a port device, a trace file, the display connection)
// can become standard input, output or error, where a report line or a
// library's message would be written into it. Call it before opening
// anything else. 0 when all three are open afterwards, else the errno value
// that kept one closed.
int open_standard_descriptors();

} // namespace stelmo
