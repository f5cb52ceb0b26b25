#include "runtime/clock/tick_timer.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

namespace stelmo {

std::unique_ptr<TickTimer> TickTimer::create(int interval_ms, std::function<void()> on_tick,
                                             std::string &error)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot create a timer: ") + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<TickTimer>(new TickTimer(fd, interval_ms, std::move(on_tick)));
}

TickTimer::TickTimer(int fd, int interval_ms, std::function<void()> on_tick)
    : fd_(fd), interval_ms_(interval_ms), on_tick_(std::move(on_tick)),
      notifier_(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read))
{
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { expired(); });
}

TickTimer::~TickTimer()
{
    notifier_.reset(); // stop watching before the descriptor goes away
    ::close(fd_);
}

void TickTimer::set_enabled(bool on)
{
    if (on == enabled_.load())
        return; // on while on: the running period keeps its phase

    itimerspec setting{};
    int flags = 0;
    if (on) {
        setting.it_interval.tv_sec = interval_ms_ / 1000;
        setting.it_interval.tv_nsec = static_cast<long>(interval_ms_ % 1000) * 1000000L;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        setting.it_value.tv_sec = now.tv_sec + setting.it_interval.tv_sec;
        setting.it_value.tv_nsec = now.tv_nsec + setting.it_interval.tv_nsec;
        if (setting.it_value.tv_nsec >= 1000000000L) {
            setting.it_value.tv_nsec -= 1000000000L;
            ++setting.it_value.tv_sec;
        }
        flags = TFD_TIMER_ABSTIME;
    }
    // Disarming (all zero) also clears expirations not yet read, so a timer
    // switched off inside a callback delivers nothing more.
    enabled_.store(on); // before arming: a tick right after must see it on
    ::timerfd_settime(fd_, flags, &setting, nullptr);
}

void TickTimer::expired()
{
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations)
        return; // nothing pending (disarmed since the wake-up)
    // Several periods may have passed since the last read (the loop was held
    // up): one tick now, not a burst.
    if (!enabled_.load() || expirations == 0)
        return;
    on_tick_();
}

} // namespace stelmo
