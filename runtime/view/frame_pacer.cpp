#include "runtime/view/frame_pacer.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>

namespace stelmo {

FramePacer::FramePacer(std::function<void()> refresh, QObject *parent)
    : QObject(parent), refresh_(std::move(refresh))
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    frame_ms_ = std::max(1, static_cast<int>(std::lround(1000.0 / hz)));

    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)
        return; // every mark refreshes at once: slower ticks, nothing lost
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &FramePacer::frame);
}

FramePacer::~FramePacer()
{
    notifier_.reset(); // stop watching before the descriptor goes away
    if (fd_ >= 0)
        ::close(fd_);
}

void FramePacer::arm(bool on)
{
    itimerspec setting{};
    if (on) {
        setting.it_interval.tv_sec = frame_ms_ / 1000;
        setting.it_interval.tv_nsec = static_cast<long>(frame_ms_ % 1000) * 1000000L;
        setting.it_value = setting.it_interval;
    }
    ::timerfd_settime(fd_, 0, &setting, nullptr);
    armed_ = on;
}

void FramePacer::mark()
{
    dirty_ = true;
    if (fd_ < 0)
        flush();
    else if (!armed_)
        arm(true);
}

void FramePacer::flush()
{
    if (!dirty_)
        return;
    dirty_ = false;
    refresh_();
}

void FramePacer::frame()
{
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations)
        return; // nothing pending (disarmed since the wake-up)
    if (!dirty_) {
        arm(false); // a quiet frame: nothing moves, stop waking up
        return;
    }
    flush();
}

} // namespace stelmo
