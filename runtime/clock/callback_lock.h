// The engine's one lock around every call into the program. Buttons call the
// program from the event-loop thread, timer ticks from their tick threads;
// whoever calls holds this lock for the whole call, so callbacks never
// overlap and the program's state needs no lock of its own.
//
// Threading rules:
// - Hold it around every call into the program, and around every change a
//   tick thread must see before its next tick: TickThread::set_enabled is
//   called with it held, whether from a button callback or from a tick.
// - Never wait for another thread while holding it. In particular a tick
//   thread is never stopped or destroyed with it held: the tick thread may be
//   waiting for it, and joining would wait forever.
// - Not recursive. Locking it again on the thread that holds it throws
//   std::system_error (resource_deadlock_would_occur) instead of hanging.
// - Priority inheritance: a real-time tick thread waiting for the lock lends
//   its priority to the holder, so a button callback preempted by ordinary
//   processes cannot hold a tick up behind them.
//
// Meets BasicLockable and Lockable: use it with std::lock_guard and
// std::unique_lock.
#pragma once

#include <atomic>
#include <pthread.h>

namespace stelmo {

class CallbackLock {
public:
    CallbackLock();
    ~CallbackLock();
    CallbackLock(const CallbackLock &) = delete;
    CallbackLock &operator=(const CallbackLock &) = delete;

    // Waits for the lock. Throws std::system_error when the calling thread
    // already holds it.
    void lock();
    // Takes the lock if it is free; false when some thread (this one too)
    // holds it.
    bool try_lock();
    // Releases the lock; the calling thread must hold it.
    void unlock();
    // True when the calling thread holds the lock.
    bool held_by_caller() const;

private:
    pthread_mutex_t mutex_;
    // The holder, or a default pthread_t while the lock is free. Each thread
    // only compares it with itself, and always sees its own last store.
    std::atomic<pthread_t> owner_{};
};

// Holds a CallbackLock for a scope unless the calling thread holds it already:
// for code on the event-loop thread that runs both inside callbacks and
// outside them (a signal handler, a service called from main).
class HoldUnlessHeld {
public:
    explicit HoldUnlessHeld(CallbackLock &lock) : lock_(lock.held_by_caller() ? nullptr : &lock)
    {
        if (lock_)
            lock_->lock();
    }
    ~HoldUnlessHeld()
    {
        if (lock_)
            lock_->unlock();
    }
    HoldUnlessHeld(const HoldUnlessHeld &) = delete;
    HoldUnlessHeld &operator=(const HoldUnlessHeld &) = delete;

private:
    CallbackLock *lock_;
};

} // namespace stelmo
