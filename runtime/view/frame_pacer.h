// Coalesces changes made on the tick path into at most one refresh per screen
// frame. Marking a change sets a flag and, when the pacer is idle, arms its
// frame clock: a timerfd watched by the event loop, so arming is one system
// call and allocates nothing. The clock keeps running while every frame has
// something to refresh and is disarmed after a frame with nothing, so a
// standing motor costs no wake-ups.
#pragma once

#include <functional>
#include <memory>

#include <QObject>

class QSocketNotifier;

namespace stelmo {

class FramePacer : public QObject {
public:
    // `refresh` runs on the event-loop thread, once per frame that had a
    // change. The frame length follows the primary screen's refresh rate
    // (60 Hz when the screen does not say).
    explicit FramePacer(std::function<void()> refresh, QObject *parent = nullptr);
    ~FramePacer() override;
    FramePacer(const FramePacer &) = delete;
    FramePacer &operator=(const FramePacer &) = delete;

    // Something changed: refresh at the end of the current frame.
    void mark();
    // Refreshes now if something changed since the last refresh.
    void flush();

    bool pending() const { return dirty_; }
    bool running() const { return armed_; }
    int frame_ms() const { return frame_ms_; }

private:
    void arm(bool on);
    void frame();

    std::function<void()> refresh_;
    int frame_ms_ = 16;
    int fd_ = -1; // -1: the kernel gave no timerfd, refresh at once instead
    std::unique_ptr<QSocketNotifier> notifier_;
    bool armed_ = false;
    bool dirty_ = false;
};

} // namespace stelmo
