// The real-time scheduling that stelmo's steps run under, in one place: the
// tick thread asks for it, the launcher keeps it for root, the port helper
// serves at it, and the package's limits.conf grants it to the group stelmo
// (packaging/limits.conf.in is filled in from PRIORITY when building). No Qt.
#pragma once

#include <pthread.h>
#include <sched.h>

namespace stelmo::realtime {

// The scheduling policy, and its name for texts.
constexpr int POLICY = SCHED_FIFO;
constexpr const char *POLICY_NAME = "SCHED_FIFO";
// The priority asked for: above ordinary threads, below the kernel's
// interrupt threads (50), within RealtimeKit's default limit.
constexpr int PRIORITY = 20;

// Sets `thread` to POLICY at PRIORITY; pthread_setschedparam's result (0, or
// EPERM where the process may not).
inline int make_thread_realtime(pthread_t thread)
{
    sched_param parameter{};
    parameter.sched_priority = PRIORITY;
    return pthread_setschedparam(thread, POLICY, &parameter);
}

} // namespace stelmo::realtime
