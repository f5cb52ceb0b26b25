// A timer control's clock on a thread of its own. The thread sleeps until
// absolute deadlines on CLOCK_MONOTONIC and calls the tick function with the
// CallbackLock held, so a tick never overlaps a button callback or another
// timer's tick. It asks for real-time scheduling (or is created real-time by
// the launcher, see launcher.h) and keeps its stack (or the whole process)
// locked in memory, so a loaded machine holds a tick up as little as the
// system allows.
//
// Step spacing: two ticks never start closer than 0.9 periods apart,
// because a stepper fed two steps a fraction of a period apart loses steps.
// Ticks follow a schedule of deadlines one period apart, as a bare real-time
// clock loop does: a tick that starts late keeps it (the next deadline is one
// period after this one's), so wake-up jitter and a late tick cost no rate;
// the ticks after a late one catch up, no closer than the minimum. When whole
// periods passed without a tick (the thread was held up), those periods are
// skipped and counted, never made up for in a burst. The 0.9-period minimum
// is kept on its own at every wake-up: a thread woken earlier than that after
// the last tick waits again until then.
//
// Waking up takes time (tens of microseconds on a virtual machine, even at
// real-time priority). Where that is more than a twentieth of the period, it
// eats into the tenth of a period by which the minimum lets a late schedule
// catch up, and under load every tick could start a little later than the
// one before until a period was lost. So at such periods the thread asks to
// be woken that much early (its typical wake-up latency, learned as it goes,
// at most a quarter period and 100 us) and waits out the rest awake. At
// longer periods it sleeps to the deadline, as the bare loop does.
//
// The minimum counts from the start of the last tick; when that tick took
// longer than ticks usually take (the machine stalled the thread inside it,
// perhaps before its step went out), it counts from that tick's end less its
// usual length, so a stalled step and the next one stay apart too.
//
// Threads: the owner (the engine's event-loop thread) creates and destroys
// it; set_enabled() is called with the CallbackLock held, from any thread;
// the counters and enabled() may be read from any thread.
#pragma once

#include "runtime/clock/callback_lock.h"
#include "runtime/clock/realtime.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>

namespace stelmo {

class TickThread {
public:
    using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC

    // The shortest period accepted; a panel asking for less is refused.
    static constexpr std::chrono::nanoseconds MIN_PERIOD = std::chrono::microseconds(100);
    // The tick thread's stack (bytes): enough for one call into the program
    // and the services it uses, small enough to lock under the default
    // 8 MiB RLIMIT_MEMLOCK.
    static constexpr std::size_t STACK_SIZE = 256 * 1024;
    // The thread's name, as ps -L, top and /proc/<pid>/task/<tid>/comm show it.
    static constexpr const char *THREAD_NAME = "stelmo-tick";

    // A switched-off timer with the given period whose thread is running and
    // scheduled as the process allows; created by the launcher where one
    // runs (see launcher.h). `tick` runs on the tick thread with
    // `lock` held; it must not throw, and must not take `lock` again.
    // Null with `error` set when the period is below MIN_PERIOD or no thread
    // can be started. Call on the event-loop thread: asking RealtimeKit for
    // real-time scheduling may block it for up to a second.
    static std::unique_ptr<TickThread> create(std::chrono::nanoseconds period, CallbackLock &lock,
                                              std::function<void()> tick, std::string &error);
    // Stops the thread; see stop().
    ~TickThread();
    TickThread(const TickThread &) = delete;
    TickThread &operator=(const TickThread &) = delete;

    // Call with the CallbackLock held (from a button callback or a tick).
    // Switching on arms the first tick one period from now; switching on a
    // running timer keeps its phase. Switching off means no further tick:
    // the thread checks again under the lock right before each tick. Never
    // blocks for long and allocates nothing.
    void set_enabled(bool on);
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }
    std::chrono::nanoseconds period() const { return period_; }
    // When the next tick is due (meaningful while enabled). Stable while the
    // caller holds the CallbackLock.
    Clock::time_point next_tick() const;

    // Ticks that fell due (the thread reached a tick's time and went for the
    // CallbackLock), ticks delivered, and periods that passed without one
    // (the thread was held up: the CallbackLock was held, the machine was
    // loaded, the process was stopped). A tick due and not delivered waits
    // for the lock, or was dropped because the timer was switched off
    // meanwhile.
    long due() const { return due_.load(std::memory_order_relaxed); }
    long ticks() const { return ticks_.load(std::memory_order_relaxed); }
    long missed() const { return missed_.load(std::memory_order_relaxed); }

    // The schedule after a tick due at `due` that started at `start`, with
    // ticks `period` apart: the next tick's deadline, and the periods that
    // passed without a tick (see the top of this file).
    struct Reschedule {
        Clock::time_point next;
        long missed;
    };
    static Reschedule reschedule(Clock::time_point due, Clock::time_point start,
                                 std::chrono::nanoseconds period);
    // When a tick due at `due` may start at the earliest, the last tick
    // having started at `last` as far as the spacing goes: at its deadline,
    // and no closer than 0.9 periods to the last one.
    static Clock::time_point earliest(Clock::time_point due, Clock::time_point last,
                                      std::chrono::nanoseconds period);

    // How the thread is scheduled, and a one-line description of that and of
    // the memory locking, e.g. "real-time (SCHED_FIFO 20), memory locked".
    // scheduling_text() is the scheduling part alone, e.g. "normal priority:
    // <why>".
    Scheduling scheduling() const { return scheduling_; }
    const std::string &status() const { return status_; }
    const std::string &scheduling_text() const { return scheduling_text_; }

    // Ends and joins the thread; waits for a tick in progress. No tick is
    // delivered once it returns. Call on the owner's thread. With the
    // CallbackLock held it returns only when the thread is not waiting for
    // that lock (switched off under it, or never switched on); when it is,
    // or when called from a tick, it would wait forever and so ends the
    // process with a message instead.
    void stop();

private:
    TickThread(std::chrono::nanoseconds period, CallbackLock &lock, std::function<void()> tick);
    bool start(std::string &error);
    static void *run(void *self) noexcept;
    void loop();
    void learn_latency(std::chrono::nanoseconds latency);
    void deliver(Clock::time_point due);

    const std::chrono::nanoseconds period_;
    // The thread's typical wake-up latency, at most `latency_max_`; it asks
    // to be woken that much early when it is more than `spin_above_`. Loop
    // thread only.
    std::chrono::nanoseconds latency_{0};
    const std::chrono::nanoseconds latency_max_;
    const std::chrono::nanoseconds spin_above_;
    CallbackLock &lock_;
    const std::function<void()> tick_;

    // Guards the fields below it; priority inheriting, like the
    // CallbackLock. `wake_` wakes the thread for a change or for stopping.
    mutable pthread_mutex_t state_;
    pthread_cond_t wake_;
    // Changed only with the CallbackLock held as well.
    std::atomic<bool> enabled_{false};
    Clock::time_point deadline_{}; // next tick due
    // Where the last tick's step went out, as far as can be told (if
    // `ticked_`): its start, or later when it took longer than usual.
    Clock::time_point last_{};
    bool ticked_ = false;
    std::chrono::nanoseconds usual_length_{0}; // a running average of the ticks' lengths
    bool delivering_ = false; // between deciding on a tick and its end (may wait for the lock)
    bool stopping_ = false;
    bool released_ = false; // scheduling settled; the loop may begin
    pid_t tid_ = 0;         // the thread's kernel id, 0 until it runs

    std::atomic<long> due_{0};
    std::atomic<long> ticks_{0};
    std::atomic<long> missed_{0};

    Scheduling scheduling_ = Scheduling::normal;
    std::string status_;
    std::string scheduling_text_;
    std::unique_ptr<ThreadStack> stack_;
    pthread_t thread_{};
    bool running_ = false; // thread_ started and not yet joined
};

} // namespace stelmo
