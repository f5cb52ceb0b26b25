// The frame pacer's clock: a timerfd on CLOCK_MONOTONIC with absolute,
// periodic deadlines, watched by the event loop, which runs the callback.
// The kernel keeps the period, so ticks do not drift with the time the
// callbacks take. (Timer controls tick on threads of their own, TickThread.)
//
// Threads: created, destroyed and ticking on the event-loop thread.
// set_enabled() arms or disarms the timerfd with one system call and may be
// called from any thread, provided calls that switch on and calls that switch
// off never overlap (the frame pacer sees to that).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace stelmo {

// What paces a FramePacer's frames: switched on while there is something to
// show, it has the pacer's frame run once per period.
class FrameClock {
public:
    virtual ~FrameClock() = default;
    virtual void set_enabled(bool on) = 0;
};

class TickTimer : public FrameClock {
public:
    // A switched-off timer with the given period. Null with `error` set when
    // the kernel refuses a timerfd (e.g. no file descriptors left).
    static std::unique_ptr<TickTimer> create(int interval_ms, std::function<void()> on_tick,
                                             std::string &error);
    ~TickTimer() override;
    TickTimer(const TickTimer &) = delete;
    TickTimer &operator=(const TickTimer &) = delete;

    // Switching on arms the first deadline one period from now. Switching on
    // a running timer leaves its deadlines where they are; switching off
    // disarms the timerfd, so it wakes nothing and owes no tick.
    void set_enabled(bool on) override;
    bool enabled() const { return enabled_.load(); }

private:
    TickTimer(int fd, int interval_ms, std::function<void()> on_tick);
    void expired();

    int fd_;
    int interval_ms_;
    std::atomic<bool> enabled_{false};
    std::function<void()> on_tick_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace stelmo
