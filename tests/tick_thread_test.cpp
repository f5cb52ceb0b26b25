// The tick thread keeps steps apart after a hold-up, keeps its schedule when
// a tick is a little late, delivers nothing once switched off under the
// callback lock, and ends without hanging. Spacing is checked by lower bounds
// only, and lateness with margins of tens of milliseconds, so the checks hold
// however loaded the machine is.
#include "runtime/clock/tick_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <sched.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using stelmo::CallbackLock;
using stelmo::Scheduling;
using stelmo::TickThread;
using Clock = TickThread::Clock;

std::unique_ptr<TickThread> make_timer(std::chrono::nanoseconds period, CallbackLock &lock,
                                       std::function<void()> tick)
{
    std::string error;
    auto timer = TickThread::create(period, lock, std::move(tick), error);
    EXPECT_TRUE(timer) << error;
    return timer;
}

void switch_timer(CallbackLock &lock, TickThread &timer, bool on)
{
    const std::lock_guard hold(lock);
    timer.set_enabled(on);
}

// Waits until the timer has delivered `count` ticks. A guard against a hang,
// not a timing check.
void wait_for_ticks(const TickThread &timer, long count)
{
    const auto give_up = Clock::now() + 20s;
    while (timer.ticks() < count && Clock::now() < give_up)
        std::this_thread::sleep_for(1ms);
    ASSERT_GE(timer.ticks(), count) << "the timer stopped ticking";
}

TEST(TickThread, KeepsStepsApartAfterBeingHeldUp)
{
    constexpr auto period = 10ms;
    CallbackLock lock;
    std::vector<Clock::time_point> starts;
    starts.reserve(64);
    int policy = -1;
    auto timer = make_timer(period, lock, [&] {
        starts.push_back(Clock::now());
        policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    });
    ASSERT_TRUE(timer);
    std::printf("tick thread: %s\n", timer->status().c_str());

    switch_timer(lock, *timer, true);
    wait_for_ticks(*timer, 3);
    {
        // The tick thread wants the lock for five periods, as when a button
        // callback or the whole process is held up.
        const std::lock_guard hold(lock);
        std::this_thread::sleep_for(5 * period);
    }
    wait_for_ticks(*timer, timer->ticks() + 6);
    switch_timer(lock, *timer, false);

    const std::lock_guard hold(lock);
    ASSERT_EQ(timer->ticks(), static_cast<long>(starts.size()));
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(starts[i] - starts[i - 1], period * 9 / 10) << "ticks " << i - 1 << " and " << i;
    // The tick owed when the hold began came at least four periods late.
    EXPECT_GE(timer->missed(), 4);
    // The status says what the thread really runs under.
    EXPECT_EQ(policy == SCHED_FIFO, timer->scheduling() != Scheduling::normal) << timer->status();
}

TEST(TickThread, SlightlyLateTickKeepsTheScheduleHeldUpTickMovesIt)
{
    constexpr auto period = 200ms;
    CallbackLock lock;
    struct Seen {
        Clock::time_point start; // as the tick saw it
        Clock::time_point next;  // the deadline after it
    };
    std::vector<Seen> seen;
    seen.reserve(16);
    TickThread *self = nullptr;
    auto timer = make_timer(period, lock, [&] {
        seen.push_back({Clock::now(), self->next_tick()});
    });
    ASSERT_TRUE(timer);
    self = timer.get();
    switch_timer(lock, *timer, true);
    wait_for_ticks(*timer, 1);

    // Holds the lock across the next deadline until `late` after it, so the
    // tick due then starts at least that late; returns that deadline.
    const auto make_next_tick_late = [&](std::chrono::milliseconds late) {
        Clock::time_point due;
        {
            const std::lock_guard hold(lock);
            due = timer->next_tick();
        }
        std::this_thread::sleep_until(due - 30ms);
        const std::lock_guard hold(lock);
        EXPECT_TRUE(timer->next_tick() == due) << "the test thread came too late";
        std::this_thread::sleep_until(due + late);
        return due;
    };

    // 0.3 periods late (plus wake-up jitter, well under half a period): the
    // deadlines stay where they were, and the next tick, which the schedule
    // puts 0.7 periods later, waits for the 0.9-period minimum.
    const long before = timer->ticks();
    const Clock::time_point due = make_next_tick_late(60ms);
    wait_for_ticks(*timer, before + 2);
    {
        const std::lock_guard hold(lock);
        const Seen &late = seen[static_cast<std::size_t>(before)];
        EXPECT_TRUE(late.next == due + period) << "a slightly late tick moved the schedule";
        EXPECT_GE(seen[static_cast<std::size_t>(before) + 1].start - late.start, period * 9 / 10);
    }

    // 0.7 periods late: the schedule starts again one period after that tick.
    const long held = timer->ticks();
    const Clock::time_point held_due = make_next_tick_late(140ms);
    wait_for_ticks(*timer, held + 1);
    switch_timer(lock, *timer, false);
    const std::lock_guard hold(lock);
    const Seen &moved = seen[static_cast<std::size_t>(held)];
    EXPECT_GT(moved.next, held_due + period);
    EXPECT_LE(moved.next, moved.start + period);
}

TEST(TickThread, SwitchingOffUnderTheLockStopsTheNextTick)
{
    constexpr auto period = 5ms;
    CallbackLock lock;
    long delivered = 0;
    auto timer = make_timer(period, lock, [&] { ++delivered; });
    ASSERT_TRUE(timer);
    std::string refused;
    EXPECT_FALSE(TickThread::create(
        50us, lock, [] {}, refused));
    EXPECT_NE(refused.find("below the shortest"), std::string::npos) << refused;

    switch_timer(lock, *timer, true);
    wait_for_ticks(*timer, 2);
    long before_off = 0;
    {
        const std::lock_guard hold(lock);
        // On while on keeps the phase.
        const Clock::time_point due = timer->next_tick();
        timer->set_enabled(true);
        EXPECT_TRUE(timer->next_tick() == due) << "switching on again moved the deadline";
        // The next tick falls due while the lock is held, and is not
        // delivered once the timer is off.
        std::this_thread::sleep_for(3 * period);
        timer->set_enabled(false);
        before_off = delivered;
    }
    std::this_thread::sleep_for(4 * period);
    {
        const std::lock_guard hold(lock);
        EXPECT_EQ(delivered, before_off);
        // Switched on again: the first tick is one period away.
        const Clock::time_point now = Clock::now();
        timer->set_enabled(true);
        EXPECT_GE(timer->next_tick(), now + period);
    }

    // A tick may switch its own timer off: nothing follows it.
    TickThread *self = nullptr;
    long own = 0;
    auto stopping = make_timer(period, lock, [&] {
        if (++own == 3)
            self->set_enabled(false);
    });
    ASSERT_TRUE(stopping);
    self = stopping.get();
    switch_timer(lock, *stopping, true);
    wait_for_ticks(*stopping, 3);
    std::this_thread::sleep_for(4 * period);
    const std::lock_guard hold(lock);
    EXPECT_EQ(own, 3);
    EXPECT_FALSE(stopping->enabled());
}

TEST(TickThread, EndsWhileTickingOrWaitingForTheLock)
{
    CallbackLock lock;
    long delivered = 0;
    auto fast = make_timer(TickThread::MIN_PERIOD, lock, [&] { ++delivered; });
    ASSERT_TRUE(fast);
    switch_timer(lock, *fast, true);
    wait_for_ticks(*fast, 10);
    fast.reset();

    // Destroyed while its thread waits for the lock that another thread
    // holds: it ends once the lock is free.
    auto waiting = make_timer(1ms, lock, [&] { ++delivered; });
    ASSERT_TRUE(waiting);
    switch_timer(lock, *waiting, true);
    std::atomic<bool> held{false};
    std::thread holder([&] {
        const std::lock_guard hold(lock);
        held = true;
        std::this_thread::sleep_for(50ms);
    });
    while (!held)
        std::this_thread::yield();
    std::this_thread::sleep_for(5ms);
    waiting.reset();
    holder.join();

    // With the lock held it ends at once when its thread does not want the
    // lock (never switched on) ...
    {
        auto idle = make_timer(1ms, lock, [] {});
        ASSERT_TRUE(idle);
        const std::lock_guard hold(lock);
        idle.reset();
    }
    // ... and when it does, it would wait forever: it ends the process instead.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto timer = make_timer(1ms, lock, [] {});
            lock.lock();
            timer->set_enabled(true);
            std::this_thread::sleep_for(200ms); // due long since, waiting for the lock
            timer.reset();
        },
        "callback lock held");
}

} // namespace
