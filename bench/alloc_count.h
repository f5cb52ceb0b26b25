// Counting heap allocations made by the calling thread. The bench executables
// that link alloc_count.cpp replace malloc, calloc, realloc, posix_memalign
// and the global operator new with versions that count while counting is
// switched on for the calling thread, then hand over to the C library's own
// allocator. That is how the benches show that a tick allocates nothing.
#pragma once

namespace bench {

// Switches counting on or off for the calling thread; switching on starts
// again from zero.
void count_allocations(bool on);

// Allocations the calling thread made since counting was last switched on.
long allocations();

} // namespace bench
