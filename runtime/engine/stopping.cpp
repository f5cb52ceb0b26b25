// The engine's own stop. The program stops the motor through its Stop
// button; the engine stops it too, whatever the panel file says, when the
// operator presses Esc, when the window or the display stops answering
// (watchdog.cpp), when the port hardware is gone, when the reference run
// finds no home switch within its limit (run_state.cpp), and when the program ends
// (Quit, a closed window, an end signal). All of them come here: every timer
// of every panel is switched off under the lock, as Stop does, so no tick
// follows. A signal handler cannot wait for the lock: it asks, and the next
// tick does it before it reaches the program (watchdog.cpp).
#include "runtime/engine/state.h"

#include "runtime/base/report.h"
#include "runtime/config/translation.h"
#include "runtime/ports/loss.h"

namespace stelmo::engine {

namespace {

void hardware_gone(void *context)
{
    auto *engine = static_cast<Engine *>(context);
    const HoldUnlessHeld hold(engine->lock);
    if (engine->hardware_gone)
        return;
    engine->hardware_gone = true;
    stop_every_timer(*engine, StopCause::hardware);
    report(translate("stelmo", "the port hardware is gone: every step timer is switched off, and "
                               "Start is refused until stelmo is started again")());
}

} // namespace

void stop_every_timer(Engine &engine, StopCause cause)
{
    const HoldUnlessHeld hold(engine.lock); // a tick may be running: it finishes first
    for (auto &[handle, panel] : engine.panels)
        for (auto &[id, control] : panel->controls)
            if (control.timer)
                control.timer->set_enabled(false);
    // The strips say why the engine stopped by itself, until Start; that the
    // hardware is gone, for good.
    if ((cause == StopCause::window || cause == StopCause::hardware ||
         cause == StopCause::no_home) &&
        engine.stopped_by != StopCause::hardware)
        engine.stopped_by = cause;
    if (engine.frames)
        engine.frames->mark(engine.strips);
}

QString stop_note(const Engine &engine)
{
    switch (engine.stopped_by) {
    case StopCause::window:
        return translate("stelmo", "the window did not answer").qstring();
    case StopCause::hardware:
        return translate("stelmo", "port hardware gone; start stelmo again").qstring();
    case StopCause::no_home:
        return QString::fromStdString(
            translate("stelmo", "no home switch after %1 steps")(engine.settings.homing_limit));
    default:
        return {};
    }
}

QString stop_hint(const Engine &engine)
{
    if (engine.stopped_by != StopCause::no_home)
        return {};
    return QString::fromStdString(translate(
        "stelmo", "The reference run found no home switch. Check that Port is the port the motor "
                  "hangs on, that the home switch makes the switch register read 0x0d, and the "
                  "switch-mask setting; standard error says what it read. Start goes on for "
                  "another %1 steps")(engine.settings.homing_limit));
}

void watch_hardware(Engine &engine)
{
    ports::on_hardware_lost(&hardware_gone, &engine);
}

} // namespace stelmo::engine
