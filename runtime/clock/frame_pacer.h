// Coalesces changes made on the tick path into at most one refresh per screen
// frame. Marking a change sets a flag and, when the pacer is idle, switches
// on its frame clock, a TickTimer: one system call, no allocation. The clock
// keeps running while every frame has something to refresh and is switched
// off after a frame with nothing, so a standing motor costs no wake-ups.
#pragma once

#include "runtime/clock/tick_timer.h"

#include <functional>
#include <memory>

namespace stelmo {

class FramePacer {
public:
    // `refresh` runs on the event-loop thread, once per frame that had a
    // change. The frame length follows the primary screen's refresh rate
    // (60 Hz when the screen does not say). Needs the application object.
    explicit FramePacer(std::function<void()> refresh);

    // Something changed: refresh at the end of the current frame.
    void mark();
    // Refreshes now if something changed since the last refresh.
    void flush();

    bool pending() const { return dirty_; }
    bool running() const { return clock_ && clock_->enabled(); }
    int frame_ms() const { return frame_ms_; }

private:
    void frame();

    std::function<void()> refresh_;
    int frame_ms_ = 16;
    std::unique_ptr<TickTimer> clock_; // null: no timer to be had, refresh at once
    bool dirty_ = false;
};

} // namespace stelmo
