// One frame clock for everything the tick path changes on screen: the panel's
// displays and the rig view. Changes made on the tick path are coalesced into
// at most one refresh per screen frame. Marking a change sets a flag and,
// when the pacer is idle, switches on its frame clock, a TickTimer: one
// system call, no allocation. The clock keeps running while every frame has
// something to refresh and is switched off after a frame with nothing, so a
// standing motor costs no wake-ups. Sharing one clock means one wake-up per
// frame however many windows refresh.
#pragma once

#include "runtime/clock/tick_timer.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace stelmo {

class FramePacer {
public:
    using Client = std::size_t;

    // The frame length follows the primary screen's refresh rate (60 Hz when
    // the screen does not say). Needs the application object.
    FramePacer();

    // Adds a refresh, run on the event-loop thread once per frame in which
    // its client was marked. Not for the tick path (it may allocate).
    Client add(std::function<void()> refresh);
    // The client's refresh is never run again (its owner is going away).
    void remove(Client client);

    // Client `client` changed something: refresh it at the end of the frame.
    void mark(Client client);
    // Refreshes every marked client now.
    void flush();

    bool pending() const { return dirty_; }
    bool running() const { return clock_ && clock_->enabled(); }
    int frame_ms() const { return frame_ms_; }

private:
    struct Entry {
        std::function<void()> refresh;
        bool marked = false;
    };

    void frame();

    std::vector<Entry> clients_;
    bool dirty_ = false; // some client is marked
    int frame_ms_ = 16;
    std::unique_ptr<TickTimer> clock_; // null: no timer to be had, refresh at once
};

} // namespace stelmo
