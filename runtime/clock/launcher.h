// The real-time launcher: a thread that makes tick threads real-time in a
// process that holds no capability. The start-up code starts it while the
// process still holds CAP_SYS_NICE (root); it sets itself SCHED_FIFO, gives
// up its own capabilities (they belong to threads), and from then on only
// creates threads when asked. A new thread inherits its creator's scheduling
// without any privilege, so a tick thread created by the launcher runs
// SCHED_FIFO although no thread of the process holds a capability and
// RLIMIT_RTPRIO is 0 (root in a container without CAP_SYS_RESOURCE, which
// cannot raise that limit). Between requests it sleeps on a condition
// variable: no wake-ups, no CPU.
#pragma once

#include <cstddef>
#include <pthread.h>
#include <string>

namespace stelmo::launcher {

// Starts the launcher and waits until it runs at the real-time policy and
// priority of base/realtime_policy.h with its capabilities given up. False
// with `why` set when it cannot be started or may not be real-time; it has
// ended then, and threads are created as usual. Call once, before the
// process's capabilities are dropped.
bool start(std::string &why);

// Whether the launcher runs, real-time.
bool running();

// Creates a joinable thread running `run(argument)` on the given stack,
// through the launcher, so that it inherits the launcher's scheduling.
// Returns pthread_create's result, or EAGAIN when the launcher does not run.
int create_thread(pthread_t &thread, void *stack, std::size_t stack_size, void *(*run)(void *),
                  void *argument);

} // namespace stelmo::launcher
