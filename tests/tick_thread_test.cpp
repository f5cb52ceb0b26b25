// The tick thread keeps steps apart after a hold-up, keeps its schedule when
// a tick is a little late and moves it after a hold-up, delivers nothing once
// switched off under the callback lock, and ends without hanging. Spacing on
// the real clock is checked by lower bounds only, which a loaded machine can
// only widen; the schedule is checked on given times; and where a test must
// know that the thread waits for the lock, it asks the thread's own counts of
// ticks due and ticks made.
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

// Waits until a tick fell due and waits for the lock (which the caller holds
// or another thread does).
void wait_until_it_wants_the_lock(const TickThread &timer)
{
    const auto give_up = Clock::now() + 20s;
    while (timer.due() == timer.ticks() && Clock::now() < give_up)
        std::this_thread::sleep_for(1ms);
    ASSERT_GT(timer.due(), timer.ticks()) << "no tick fell due";
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
    // Less than half a period late: the next deadline stays one period after
    // this one's (the loop keeps the 0.9-period minimum on its own). Later:
    // the schedule starts again one period after the tick, and the whole
    // periods that passed are counted as missed.
    constexpr auto period = 10ms;
    const Clock::time_point due{100s};
    struct Case {
        std::chrono::microseconds late;
        bool moved;
        long missed;
    };
    for (const Case &c : {Case{0us, false, 0}, Case{3000us, false, 0}, Case{4999us, false, 0},
                          Case{5000us, true, 0}, Case{7000us, true, 0}, Case{10000us, true, 1},
                          Case{42000us, true, 4}}) {
        const auto next = TickThread::reschedule(due, due + c.late, period);
        EXPECT_TRUE(next.next == (c.moved ? due + c.late + period : due + period))
            << c.late.count() << " us late";
        EXPECT_EQ(next.missed, c.missed) << c.late.count() << " us late";
    }
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
        wait_until_it_wants_the_lock(*timer);
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
    std::atomic<bool> ending{false};
    std::thread holder([&] {
        const std::lock_guard hold(lock);
        held = true;
        while (!ending)
            std::this_thread::yield();
        std::this_thread::sleep_for(50ms); // while the timer is being destroyed
    });
    while (!held)
        std::this_thread::yield();
    wait_until_it_wants_the_lock(*waiting);
    ending = true;
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
            wait_until_it_wants_the_lock(*timer);
            timer.reset();
        },
        "callback lock held");
}

} // namespace
