// No motor without a window, and no window larger than the screen.
//
// Closing the panel window ends the event loop (WindowWatcher in
// panel_activate.cpp). Another X client can also destroy the window outright
// (xdotool windowclose, xkill with a window id); Qt then says nothing to the
// widget, which believes itself still shown. The guard watches the X
// server's DestroyNotify for the panels' windows and ends the program as Quit
// does, with every timer off at once. Minimising unmaps a window and destroys
// nothing, so the motor may run on under a minimised panel.
#include "runtime/engine/safeguards.h"
#include "runtime/engine/state.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>

#include <cstdint>

namespace stelmo::engine {

namespace {

// The few parts of the X protocol's DestroyNotify event the guard reads, as
// libxcb lays them out (xcb_destroy_notify_event_t); the engine gains no
// build dependency on the xcb headers for them.
constexpr std::uint8_t XCB_DESTROY_NOTIFY = 17; // with 0x80 added when a client sent it
struct XcbDestroyNotify {
    std::uint8_t response_type;
    std::uint8_t pad0;
    std::uint16_t sequence;
    std::uint32_t event;
    std::uint32_t window; // the window destroyed
};

class WindowGuard : public QAbstractNativeEventFilter {
public:
    explicit WindowGuard(Engine &engine) : engine_(engine) {}

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const XcbDestroyNotify *>(message);
        // Only the server's own event: one a client sent proves nothing.
        if (event->response_type != XCB_DESTROY_NOTIFY)
            return false;
        for (const auto &[handle, panel] : engine_.panels) {
            if (panel->root && panel->root->internalWinId() == event->window) {
                end_at_once(engine_, 0);
                break;
            }
        }
        return false; // Qt may know of it too
    }

private:
    Engine &engine_;
};

} // namespace

void end_at_once(Engine &engine, int code)
{
    const HoldUnlessHeld hold(engine.lock); // a tick may be running: it finishes first
    stop_every_timer(engine, StopCause::ending);
    engine.deferred.clear(); // no button waits to run after the callback now running
    request_quit(engine, code);
}

void install_window_guard(Engine &engine)
{
    static WindowGuard guard(engine); // as long as the application: the engine is never destroyed
    engine.app->installNativeEventFilter(&guard);
}

void fit_to_screen(QWidget &window)
{
    QScreen *screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize room = screen->availableGeometry().size();
    if (QLayout *layout = window.layout()) {
        layout->activate();
        // A layout that needs more than the screen would set the window's
        // minimum beyond it; it gets what there is instead.
        const QSize needed = layout->totalMinimumSize();
        if (needed.width() > room.width() || needed.height() > room.height())
            layout->setSizeConstraint(QLayout::SetNoConstraint);
    }
    window.setMinimumSize(window.minimumSize().boundedTo(room));
    window.setMaximumSize(window.maximumSize().boundedTo(room));
    window.resize(window.size().boundedTo(room));
}

} // namespace stelmo::engine
