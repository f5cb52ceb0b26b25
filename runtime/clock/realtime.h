// What a tick thread needs from the system to keep its period: real-time
// scheduling, and memory that cannot fault on the tick path. Each step takes
// what the process is allowed and says in a short text what it got, for the
// status strip or a start-up line.
#pragma once

#include <cstddef>
#include <pthread.h>
#include <string>
#include <sys/types.h>

namespace stelmo {

// How a tick thread is scheduled.
enum class Scheduling {
    realtime,       // SCHED_FIFO set by the process itself
    realtime_rtkit, // SCHED_RR granted by RealtimeKit
    normal,         // ordinary time sharing (timer slack 1 ns)
};

// Asks for the real-time policy and priority of base/realtime_policy.h for
// `thread`, whose kernel thread id is `tid`: directly where the process may
// (RLIMIT_RTPRIO, CAP_SYS_NICE), else through RealtimeKit on the D-Bus system
// bus, else leaves the thread alone.
// `text` says which, e.g. "real-time (SCHED_FIFO 20)" or "normal priority:
// <why>". Asking RealtimeKit blocks the caller for at most a second and needs
// a Qt application object on the calling thread's side (the event-loop
// thread); RealtimeKit may grant a lower priority than asked.
Scheduling make_realtime(pthread_t thread, pid_t tid, std::string &text);

// Locks all of the process's memory, present and future (mlockall), the first
// time it is called, where that is safe: with CAP_IPC_LOCK or an unlimited
// RLIMIT_MEMLOCK. Under a finite limit locking future memory would make
// later allocations fail once the limit is reached, so it is not done.
// Returns whether the memory is locked; `why_not` says why when it is not.
bool lock_all_memory(std::string &why_not);

// A thread stack, mapped and faulted in at once, with an inaccessible guard
// page below it. Locked into memory unless told the whole process already is.
class ThreadStack {
public:
    // `size` bytes for the thread's calls, plus room for its thread-local
    // storage (which glibc places at the top of the stack), rounded up to
    // whole pages. Check mapped() after.
    ThreadStack(std::size_t size, bool lock);
    ~ThreadStack();
    ThreadStack(const ThreadStack &) = delete;
    ThreadStack &operator=(const ThreadStack &) = delete;

    bool mapped() const { return base_ != nullptr; }
    void *base() const { return base_; }
    std::size_t size() const { return size_; }
    bool locked() const { return locked_; }
    // Why mapping or locking failed.
    const std::string &error() const { return error_; }

private:
    void *mapping_ = nullptr; // guard page + stack
    std::size_t mapping_size_ = 0;
    void *base_ = nullptr; // lowest usable address
    std::size_t size_ = 0; // usable bytes
    bool locked_ = false;
    std::string error_;
};

} // namespace stelmo
