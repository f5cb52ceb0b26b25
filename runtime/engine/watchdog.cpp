// No motion the operator cannot see or stop. With one thread, as the program
// was written, a window that stops answering stops the steps with it; here
// the steps come from a tick thread of their own, so the engine watches the
// window instead. While RunUserInterface runs its loop and a timer is on,
// the event-loop thread beats every BEAT: it stamps the time, on X11 only
// once the X server has answered a request sent at the beat before (a round
// trip, sent and collected without waiting). While the motor moves, the
// frames that show it run on the same loop anyway: a beat that is due goes
// with one of them, and the beat's own timer then does not wake the loop. With every timer off it
// rests, and switching one on (which the event-loop thread does) starts it again. Every tick,
// before it reaches the program, looks at the stamp with the lock held; older than
// WINDOW_SILENCE_MAX, the window has not turned its loop (a callback that takes too long, the
// process stopped) or the display has not answered (the X server stopped or
// stuck): the engine then stops every timer, as Stop does, and says why.
// The timers stay off when the window answers again, until Start.
#include "runtime/engine/state.h"

#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/config/translation.h"

#include <QGuiApplication>
#include <QTimer>

#include <cstdlib>
#include <dlfcn.h>

namespace stelmo::engine {

namespace {

// How often the window beats: a few beats fit into WINDOW_SILENCE_MAX.
constexpr std::chrono::milliseconds BEAT{100};

class Watchdog;

// --- state ------------------------------------------------------------------
// The watchdog's clock; a test's own in place of steady_clock's.
std::atomic<WatchdogClock> clock_now{&std::chrono::steady_clock::now};
// The watchdog of the running loop, or null; event-loop thread only.
Watchdog *watching = nullptr;

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               clock_now.load(std::memory_order_relaxed)().time_since_epoch())
        .count();
}

// The few calls of libxcb a round trip needs, from the library the X11
// platform has loaded (the engine gains no build dependency on it).
struct Xcb {
    struct Cookie {
        unsigned int sequence;
    };
    Cookie (*get_input_focus)(xcb_connection_t *) = nullptr;
    int (*flush)(xcb_connection_t *) = nullptr;
    int (*poll_for_reply)(xcb_connection_t *, unsigned int, void **, void **) = nullptr;
    xcb_connection_t *connection = nullptr;

    // Found when the application runs on an X server; else no round trips.
    Xcb()
    {
        const auto *x11 =
            qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        void *library = x11 ? ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_NOLOAD) : nullptr;
        if (!library)
            return;
        get_input_focus =
            reinterpret_cast<decltype(get_input_focus)>(::dlsym(library, "xcb_get_input_focus"));
        flush = reinterpret_cast<decltype(flush)>(::dlsym(library, "xcb_flush"));
        poll_for_reply =
            reinterpret_cast<decltype(poll_for_reply)>(::dlsym(library, "xcb_poll_for_reply"));
        if (get_input_focus && flush && poll_for_reply)
            connection = x11->connection();
        ::dlclose(library); // still loaded by the platform
    }
};

// Whether a timer of any panel is on. On the event-loop thread, which alone
// adds and removes panels; the switches are atomic.
bool any_timer_on(const Engine &engine)
{
    for (const auto &[handle, panel] : engine.panels)
        for (const auto &[id, control] : panel->controls)
            if (control.timer && control.timer->enabled())
                return true;
    return false;
}

class Watchdog : public QObject {
public:
    explicit Watchdog(Engine &engine) : engine_(engine)
    {
        timer_.callOnTimeout(this, [this] { beat(); });
        wake();
        watching = this;
        if (engine_.frames)
            engine_.frames->after_frame([this] { beat_with_frame(); });
    }
    ~Watchdog() override
    {
        if (engine_.frames)
            engine_.frames->after_frame({});
        watching = nullptr;
        engine_.window_alive.store(0, std::memory_order_release);
    }

    // Counts the window as answering now, and beats from now on (the first
    // round trip goes out with the next beat: none is sent here, where the
    // engine's lock may be held).
    void wake()
    {
        waiting_ = false;
        engine_.window_alive.store(now_ns(), std::memory_order_release);
        if (!timer_.isActive())
            timer_.start(BEAT);
    }

private:
    // After a frame: beats when a beat is due, and starts the timer again
    // after every frame, so that it fires only when no frame came for a
    // whole BEAT. Started again only when it beat, it would come due with
    // the next beat, before the frame that was to take it, and wake the
    // loop ten times a second while the motor runs.
    void beat_with_frame()
    {
        if (!timer_.isActive())
            return;
        if (now_ns() - beaten_at_ >= std::chrono::nanoseconds(BEAT).count())
            beat();
        if (timer_.isActive())
            timer_.start(BEAT);
    }

    void beat()
    {
        beaten_at_ = now_ns();
        if (!any_timer_on(engine_)) {
            timer_.stop(); // nothing to stop: no wake-ups while idle
            return;
        }
        if (xcb_.connection) {
            if (waiting_) {
                void *reply = nullptr;
                void *error = nullptr;
                if (!xcb_.poll_for_reply(xcb_.connection, sequence_, &reply, &error))
                    return; // the display has not answered yet: no sign of life
                std::free(reply);
                std::free(error);
            }
            sequence_ = xcb_.get_input_focus(xcb_.connection).sequence;
            xcb_.flush(xcb_.connection);
            waiting_ = true;
        }
        engine_.window_alive.store(now_ns(), std::memory_order_release);
    }

    Engine &engine_;
    QTimer timer_;
    Xcb xcb_;
    unsigned int sequence_ = 0;  // of the round trip under way
    bool waiting_ = false;       // for its answer
    std::int64_t beaten_at_ = 0; // the last beat, ns on the watchdog's clock
};

} // namespace

void set_watchdog_clock(WatchdogClock now)
{
    clock_now.store(now ? now : &std::chrono::steady_clock::now);
}

std::unique_ptr<QObject> watch_window(Engine &engine)
{
    return std::make_unique<Watchdog>(engine);
}

void watch_window_again()
{
    if (watching)
        watching->wake();
}

bool stopped_before_tick(Engine &engine)
{
    if (engine.stop_asked.load(std::memory_order_relaxed) && engine.stop_asked.exchange(false)) {
        stop_every_timer(engine, StopCause::ending);
        return true;
    }
    const std::int64_t alive = engine.window_alive.load(std::memory_order_acquire);
    const std::int64_t silent = alive == 0 ? 0 : now_ns() - alive;
    if (silent <= std::chrono::nanoseconds(WINDOW_SILENCE_MAX).count())
        return false;
    stop_every_timer(engine, StopCause::window);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(silent) / 1e9);
    report(translate("stelmo", "the panel window did not answer for %1 s (its event loop or the X "
                               "server was held up): every step timer is switched off; press "
                               "Start to go on")(seconds));
    return true;
}

} // namespace stelmo::engine
