// The tick thread keeps its schedule after a late tick, skips the periods a
// hold-up took whole and keeps steps apart while it catches up, delivers
// nothing once switched off under the callback lock, and ends without
// hanging. The schedule and the spacing are checked on given times; a real
// thread is checked by its own counts (ticks due, made and missed), never by
// how far apart on the clock its ticks came, which a loaded machine decides.
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

TEST(TickThread, HeldUpThreadCountsTheLostPeriodsAtOnce)
{
    constexpr auto period = 10ms;
    CallbackLock lock;
    TickThread *self = nullptr;
    std::vector<long> missed; // the thread's count as each tick began
    missed.reserve(64);
    int policy = -1;
    auto timer = make_timer(period, lock, [&] {
        missed.push_back(self->missed());
        policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    });
    ASSERT_TRUE(timer);
    self = timer.get();
    std::printf("tick thread: %s\n", timer->status().c_str());

    switch_timer(lock, *timer, true);
    wait_for_ticks(*timer, 3);
    {
        // The tick thread wants the lock for five periods, as when a button
        // callback or the whole process is held up.
        const std::lock_guard hold(lock);
        wait_until_it_wants_the_lock(*timer);
        std::this_thread::sleep_for(5 * period);
    }
    wait_for_ticks(*timer, timer->ticks() + 6);
    switch_timer(lock, *timer, false);

    const std::lock_guard hold(lock);
    ASSERT_EQ(timer->ticks(), static_cast<long>(missed.size()));
    // The tick that waited came once, with the four or more periods that
    // passed while it waited counted in one go, not delivered in a burst.
    bool at_once = false;
    for (std::size_t i = 1; i < missed.size(); ++i)
        at_once |= missed[i] - missed[i - 1] >= 4;
    EXPECT_TRUE(at_once);
    EXPECT_EQ(missed.back(), timer->missed());
    // The status says what the thread really runs under.
    EXPECT_EQ(policy == SCHED_FIFO, timer->scheduling() != Scheduling::normal) << timer->status();
}

// One tick held up by a given time, in a schedule played on given times: each
// tick starts as early as it may (earliest), and the next deadline is what
// reschedule() says. As a bare clock loop, the schedule skips only the
// periods that passed whole; unlike it, it catches up with the rest no closer
// than 0.9 periods, and ends up on its first phase again.
TEST(TickThread, LateTickKeepsTheScheduleWholePeriodsAreSkipped)
{
    constexpr std::chrono::nanoseconds period = 1ms;
    struct Case {
        std::chrono::microseconds held;
        long missed;
    };
    for (const Case &c : {Case{0us, 0}, Case{300us, 0}, Case{500us, 0}, Case{950us, 0},
                          Case{1000us, 1}, Case{1500us, 1}, Case{4200us, 4}}) {
        const Clock::time_point first{100s};
        Clock::time_point due = first;
        Clock::time_point last{};
        long missed = 0;
        for (int i = 0; i < 40; ++i) {
            Clock::time_point start = i == 0 ? due : TickThread::earliest(due, last, period);
            if (i == 5)
                start += c.held;
            EXPECT_TRUE(i == 0 || start - last >= period * 9 / 10)
                << c.held.count() << " us held, tick " << i;
            const TickThread::Reschedule next = TickThread::reschedule(due, start, period);
            missed += next.missed;
            due = next.next;
            last = start;
        }
        EXPECT_EQ(missed, c.missed) << c.held.count() << " us held";
        EXPECT_TRUE(last == first + (39 + missed) * period) << c.held.count() << " us held";
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
