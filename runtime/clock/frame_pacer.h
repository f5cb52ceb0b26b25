// One frame clock for everything the tick path changes on screen: the panel's
// displays and the rig view. Changes made on the tick path are coalesced into
// at most one refresh per screen frame. Marking a change sets two flags and,
// when the pacer is idle, arms its frame clock, a TickTimer (a FrameClock):
// one system call, no lock, no allocation, so tick threads mark directly.
// The clock keeps running while every frame has something to refresh and is
// switched off after a frame with nothing, so a standing motor costs no
// wake-ups. Sharing one clock means one wake-up per frame however many
// windows refresh.
//
// Threads: mark() may be called from any thread; everything else, and every
// refresh, runs on the event-loop thread.
#pragma once

#include "runtime/clock/tick_timer.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

class QObject;

namespace stelmo {

class FramePacer {
public:
    using Client = std::size_t;
    // The most clients one pacer serves (the engine has three).
    static constexpr std::size_t MAX_CLIENTS = 8;

    // The frame length follows the primary screen's refresh rate (60 Hz when
    // the screen does not say). Needs the application object.
    FramePacer();
    // Frames come from `clock`, which the pacer switches on while it has
    // something to show, and which calls frame() once per frame while on.
    FramePacer(std::unique_ptr<FrameClock> clock, int frame_ms);
    ~FramePacer();
    FramePacer(const FramePacer &) = delete;
    FramePacer &operator=(const FramePacer &) = delete;

    // Adds a refresh, run on the event-loop thread once per frame in which
    // its client was marked. Not for the tick path (it may allocate). Throws
    // std::length_error beyond MAX_CLIENTS.
    Client add(std::function<void()> refresh);
    // The client's refresh is never run again (its owner is going away).
    void remove(Client client);

    // Client `client` changed something: refresh it at the end of the frame.
    // Any thread.
    void mark(Client client);
    // Runs `hook` on the event-loop thread after every frame that refreshed
    // something, for work that can go with a frame that happens anyway;
    // an empty function removes it.
    void after_frame(std::function<void()> hook) { after_frame_ = std::move(hook); }

    // Refreshes every marked client now.
    void flush();
    // One frame: refreshes the marked clients, and switches the clock off
    // when none was. Called by the clock, on the event-loop thread.
    void frame();

    bool pending() const { return dirty_.load(); }
    bool running() const { return armed_.load(); }
    int frame_ms() const { return frame_ms_; }

private:
    struct Entry {
        std::function<void()> refresh;   // set before `active`, never changed after
        std::atomic<bool> active{false}; // added and not removed
        std::atomic<bool> marked{false};
    };

    void arm();
    void refresh_marked();

    std::array<Entry, MAX_CLIENTS> clients_;
    std::size_t count_ = 0;          // clients added, 0..MAX_CLIENTS
    std::atomic<bool> dirty_{false}; // some client is marked
    std::atomic<bool> armed_{false}; // a frame is coming: the clock runs, or one is posted
    int frame_ms_ = 16;
    std::function<void()> after_frame_;
    std::unique_ptr<FrameClock> clock_; // null: no timer to be had, a frame is posted instead
    std::unique_ptr<QObject> context_;  // receives posted frames; they die with it
};

} // namespace stelmo
