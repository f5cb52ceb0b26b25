// The tick loop sleeps on a condition variable bound to CLOCK_MONOTONIC
// (pthread_cond_timedwait with an absolute deadline): one wait serves the
// deadline and every wake-up for switching on, switching off and stopping,
// with no signals and no extra descriptor. Its mutex inherits priority like
// the CallbackLock, so the event-loop thread holding it for the few
// instructions of set_enabled() cannot keep a real-time tick waiting behind
// ordinary processes.
#include "runtime/clock/tick_thread.h"

#include "runtime/clock/launcher.h"
#include "runtime/config/translation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <unistd.h>

namespace stelmo {

namespace {

timespec to_timespec(TickThread::Clock::time_point at)
{
    const auto since = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
}

// A call that would wait forever: better a message and an end than a hang.
[[noreturn]] void fatal(const char *message)
{
    std::fprintf(stderr, "stelmo: %s\n", message);
    std::abort();
}

} // namespace

std::unique_ptr<TickThread> TickThread::create(std::chrono::nanoseconds period, CallbackLock &lock,
                                               std::function<void()> tick, std::string &error)
{
    if (period < MIN_PERIOD) {
        error = "timer period " + std::to_string(period.count()) +
                " ns is below the shortest allowed, " + std::to_string(MIN_PERIOD.count()) + " ns";
        return nullptr;
    }
    std::unique_ptr<TickThread> timer(new TickThread(period, lock, std::move(tick)));
    if (!timer->start(error))
        return nullptr;
    return timer;
}

TickThread::TickThread(std::chrono::nanoseconds period, CallbackLock &lock,
                       std::function<void()> tick)
    : period_(period),
      latency_max_(std::min<std::chrono::nanoseconds>(period / 4, std::chrono::microseconds(100))),
      spin_above_(period / 20), lock_(lock), tick_(std::move(tick))
{
    pthread_mutexattr_t mutex_attributes;
    pthread_mutexattr_init(&mutex_attributes);
    pthread_mutexattr_setprotocol(&mutex_attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&state_, &mutex_attributes);
    pthread_mutexattr_destroy(&mutex_attributes);

    pthread_condattr_t cond_attributes;
    pthread_condattr_init(&cond_attributes);
    pthread_condattr_setclock(&cond_attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake_, &cond_attributes);
    pthread_condattr_destroy(&cond_attributes);
}

TickThread::~TickThread()
{
    stop();
    pthread_cond_destroy(&wake_);
    pthread_mutex_destroy(&state_);
}

bool TickThread::start(std::string &error)
{
    std::string memory;
    std::string why_not;
    const bool all_locked = lock_all_memory(why_not);
    stack_ = std::make_unique<ThreadStack>(STACK_SIZE, !all_locked);
    if (!stack_->mapped()) {
        error = translate("stelmo", "cannot start a timer thread: %1")(stack_->error());
        return false;
    }
    if (all_locked)
        memory = translate("stelmo", "memory locked")();
    else if (stack_->locked())
        memory = translate("stelmo", "tick stack locked")();
    else
        memory = translate("stelmo", "memory not locked: %1, %2")(why_not, stack_->error());

    // Created by the launcher where it runs: the thread then starts out
    // real-time, and make_realtime() below only confirms it (setting the
    // policy and priority a thread already has needs no privilege).
    int failed;
    if (launcher::running()) {
        failed = launcher::create_thread(thread_, stack_->base(), stack_->size(), &TickThread::run,
                                         this);
    } else {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, stack_->base(), stack_->size());
        failed = pthread_create(&thread_, &attributes, &TickThread::run, this);
        pthread_attr_destroy(&attributes);
    }
    if (failed != 0) {
        error = translate("stelmo", "cannot start a timer thread: %1")(std::strerror(failed));
        return false;
    }
    running_ = true;

    pthread_mutex_lock(&state_);
    while (tid_ == 0)
        pthread_cond_wait(&wake_, &state_);
    const pid_t tid = tid_;
    pthread_mutex_unlock(&state_);

    // Settled before the loop begins, so the first tick already runs as
    // scheduled here.
    const Scheduling got = make_realtime(thread_, tid, scheduling_text_);
    status_ = scheduling_text_ + ", " + memory;

    pthread_mutex_lock(&state_);
    scheduling_ = got;
    released_ = true;
    pthread_cond_broadcast(&wake_);
    pthread_mutex_unlock(&state_);
    return true;
}

void *TickThread::run(void *self) noexcept
{
    static_cast<TickThread *>(self)->loop();
    return nullptr;
}

void TickThread::loop()
{
    // Named, so that ps -L and top show which thread steps the motor.
    pthread_setname_np(pthread_self(), THREAD_NAME);
    pthread_mutex_lock(&state_);
    tid_ = ::gettid();
    pthread_cond_broadcast(&wake_);
    while (!released_ && !stopping_)
        pthread_cond_wait(&wake_, &state_);
    // A real-time thread's timers never wait for slack; an ordinary one's
    // wait up to 50 us by default, which is jitter on every tick.
    if (scheduling_ == Scheduling::normal)
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    while (!stopping_) {
        if (!enabled_.load(std::memory_order_relaxed)) {
            pthread_cond_wait(&wake_, &state_);
            continue;
        }
        const Clock::time_point due = deadline_;
        // Never sooner than the shortest step spacing after the last tick,
        // however early the schedule says.
        const Clock::time_point at = ticked_ ? earliest(due, last_, period_) : due;
        const Clock::time_point now = Clock::now();
        const std::chrono::nanoseconds early =
            latency_ > spin_above_ ? latency_ : std::chrono::nanoseconds(0);
        if (now < at - early) {
            const Clock::time_point wake = at - early;
            const timespec until = to_timespec(wake);
            if (pthread_cond_timedwait(&wake_, &state_, &until) == ETIMEDOUT)
                learn_latency(Clock::now() - wake);
            continue; // nearly due now, or woken for a change: look again
        }
        if (now < at) {
            // The last stretch, about a wake-up's latency, is waited out
            // awake, without the state lock, so the tick starts on time.
            pthread_mutex_unlock(&state_);
            while (Clock::now() < at) {
            }
            pthread_mutex_lock(&state_);
            continue;
        }
        delivering_ = true;
        due_.fetch_add(1, std::memory_order_relaxed);
        pthread_mutex_unlock(&state_);
        deliver(due);
        pthread_mutex_lock(&state_);
        delivering_ = false;
    }
    pthread_mutex_unlock(&state_);
}

// A running average over the last eight or so wake-ups, which follows a
// change of load within a few ticks and is not thrown far by one long delay.
void TickThread::learn_latency(std::chrono::nanoseconds latency)
{
    latency_ += (std::clamp(latency, std::chrono::nanoseconds(0), latency_max_) - latency_) / 8;
}

// One tick: at most three uncontended lock operations, two clock reads and
// the call. Nothing here allocates.
void TickThread::deliver(Clock::time_point due)
{
    lock_.lock();
    pthread_mutex_lock(&state_);
    // Switched off while this thread waited for the lock, or off and on
    // again, which moved the deadline: the tick is no longer owed.
    const bool owed = !stopping_ && enabled_.load(std::memory_order_relaxed) && deadline_ == due;
    const Clock::time_point start = Clock::now();
    if (owed) {
        const Reschedule next = reschedule(due, start, period_);
        deadline_ = next.next;
        missed_.fetch_add(next.missed, std::memory_order_relaxed);
        last_ = start; // moved later when this tick is held up inside (below)
        ticked_ = true;
    }
    pthread_mutex_unlock(&state_);
    if (owed) {
        ticks_.fetch_add(1, std::memory_order_relaxed);
        tick_();
        // A tick that took much longer than usual was held up inside (the
        // machine stalled the thread), most likely before its step went
        // out: the next tick then keeps its distance from the step, taken
        // to be where the tick's usual length before its end begins.
        const Clock::time_point end = Clock::now();
        const auto length = end - start;
        pthread_mutex_lock(&state_);
        if (length > usual_length_)
            last_ = end - usual_length_;
        usual_length_ +=
            (std::min<std::chrono::nanoseconds>(length, period_ / 4) - usual_length_) / 8;
        pthread_mutex_unlock(&state_);
    }
    lock_.unlock();
}

TickThread::Reschedule TickThread::reschedule(Clock::time_point due, Clock::time_point start,
                                              std::chrono::nanoseconds period)
{
    // As a bare clock loop does: the periods that passed whole while the
    // thread was held up are skipped and counted, never made up for in a
    // burst; a fraction of a period late keeps the schedule, which the
    // following ticks catch up with no closer than the minimum spacing the
    // loop keeps (so a late tick costs no rate).
    const auto late = start - due;
    const long missed = late > std::chrono::nanoseconds(0) ? static_cast<long>(late / period) : 0;
    return {due + (missed + 1) * period, missed};
}

TickThread::Clock::time_point TickThread::earliest(Clock::time_point due, Clock::time_point last,
                                                   std::chrono::nanoseconds period)
{
    return std::max(due, last + period * 9 / 10);
}

void TickThread::set_enabled(bool on)
{
    pthread_mutex_lock(&state_);
    if (on != enabled_.load(std::memory_order_relaxed)) {
        if (on)
            deadline_ = Clock::now() + period_;
        enabled_.store(on, std::memory_order_relaxed);
        pthread_cond_signal(&wake_);
    }
    pthread_mutex_unlock(&state_);
}

TickThread::Clock::time_point TickThread::next_tick() const
{
    pthread_mutex_lock(&state_);
    const Clock::time_point due = deadline_;
    pthread_mutex_unlock(&state_);
    return due;
}

void TickThread::stop()
{
    if (!running_)
        return;
    if (pthread_equal(pthread_self(), thread_))
        fatal("a timer thread was told to stop from its own tick; it would wait for itself "
              "forever");
    pthread_mutex_lock(&state_);
    stopping_ = true;
    pthread_cond_broadcast(&wake_);
    // Decided on a tick and waiting for the callback lock, or about to: with
    // that lock held here, joining would wait forever. Otherwise the thread
    // sees `stopping_` before it could want the lock.
    const bool wants_lock = delivering_;
    pthread_mutex_unlock(&state_);
    if (wants_lock && lock_.held_by_caller())
        fatal("a timer thread was stopped with the callback lock held while it waits for that "
              "lock; it would never end");
    pthread_join(thread_, nullptr);
    running_ = false;
}

} // namespace stelmo
