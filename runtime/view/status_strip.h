// The status strip along the bottom of a panel: what the rig is doing, at a
// glance and to a screen reader.
//
//   [SIMULATION] Simulated rig            or  [HARDWARE] /dev/port · 0x378→0xd010
//   Jogging towards far end · 100 steps/s  RT  or  Stopped   normal priority
//   (D0)(D1)(D2)(D3)   0x0d · home switch
//
// The badge tells hardware from the simulated rig by colour as well as by
// text; the run state says what the motor does while the step timer is on
// (homing, jogging, holding at a switch: run_state.h); the lamps show the last byte
// written to a data register, the last line the last byte read from a switch
// register, a failed access in red.
//
// While a run that a script started over the session bus goes on, "started
// by a script" follows the run state.
//
// A plain view: the engine decides what it shows (show_state), at most once
// per frame, on the event-loop thread. What it shows changes at most about
// ten times a second (MIN_CHANGE_INTERVAL), however fast the motor steps: no
// one reads faster, a screen reader is not flooded with changes, and the
// strip costs little to watch. Every text goes through Qt's
// translation (context "StatusStrip"), and every part is readable through
// Qt's accessibility support: the labels by their text, the scheduling note
// and the lamps by accessible names that say in words what they show.
#pragma once

#include "runtime/engine/run_state.h"
#include "runtime/ports/monitor.h"

#include <QCoreApplication>
#include <QFrame>
#include <QString>

#include <chrono>

class QLabel;

namespace stelmo {

class PhaseLamps;

// The port backend, as the strip names it; fixed for the process.
struct StripBackend {
    bool hardware = false; // a device, where a real motor moves
    QString device;        // hardware: the device file, e.g. "/dev/port"
    QString mapping;       // hardware: the moved bases, e.g. "0x378→0xd010"; empty: none
};

// What the strip shows that changes while the program runs.
struct StripState {
    bool running = false;   // a step timer of the panel is switched on
    double interval_ms = 0; // that timer's interval (while stopped, the first timer's)
    // Running: what the motor does, the reference run's steps so far, and the
    // steps made a second lately (negative: not known yet).
    engine::RunState run_state = engine::RunState::running;
    long homing_steps = 0;
    double steps_per_s = -1;
    ports::PortActivity io; // what the port registers showed last
    QString stopped_why;    // while stopped: why the engine stopped by itself; empty: it did not
    bool by_script = false; // a script started the motor last, not the operator
    QString stopped_hint;   // what to check about that, for its tooltip; empty: nothing
};

class StatusStrip : public QFrame {
    Q_DECLARE_TR_FUNCTIONS(StatusStrip)

public:
    using Clock = std::chrono::steady_clock;
    // The shortest time between two changes of what the strip shows.
    static constexpr Clock::duration MIN_CHANGE_INTERVAL = std::chrono::milliseconds(100);

    // A strip for `backend`, showing "Stopped" and no port access yet.
    explicit StatusStrip(const StripBackend &backend, QWidget *parent = nullptr);
    ~StatusStrip() override;

    // The panel's step timer: its interval, for which the run state keeps
    // room, and how its thread is scheduled, as a short note ("RT" or
    // "normal priority") with `status`, the engine's whole line, as its
    // tooltip and accessible description. Without a call (a panel without a
    // timer) there is no note.
    void set_timer(double interval_ms, bool realtime, const QString &status);

    // The files the panel came from and the settings were read from, as the
    // backend's tooltip and accessible description: `panel_file` its path,
    // `config_files` the configuration files in a line.
    void set_files(const QString &panel_file, const QString &config_files);

    // Shows `state` at `now`; texts that did not change are left alone, so
    // an assistive technology hears only what changed. False when the strip
    // changed less than MIN_CHANGE_INTERVAL before `now`: then it shows
    // nothing new, and the caller asks again later (the next frame) until it
    // is true.
    bool show_state(const StripState &state, Clock::time_point now);

    // What the motor does, with the steps made a second when known:
    // "Homing · step 37 · 100 steps/s", "Holding at far switch · 0 steps/s".
    static QString run_text(engine::RunState state, long homing_steps, double steps_per_s);
    // "100 steps/s" (with the locale's digit grouping: "4,000"), or "a step
    // every 2 s" below one a second.
    static QString rate_text(double steps_per_s);
    // "home switch" for 13, "far switch" for 14, "no switch" for anything else.
    static QString switch_meaning(std::uint8_t value);
    // The switch register's byte with its meaning: "0x0d · home switch".
    static QString switch_text(std::uint8_t value);

private:
    void show_backend(const StripBackend &backend);
    void lay_out();
    void show_changes(const StripState &state);
    void show_run(const StripState &state);
    void show_origin(const StripState &state);
    void show_switches(const ports::PortActivity &io);

    QLabel *badge_;
    QLabel *backend_;
    QLabel *run_;
    QLabel *origin_; // "started by a script" while a script's run goes on
    QLabel *scheduling_;
    PhaseLamps *lamps_;
    QLabel *switches_;
    // What is shown, to leave unchanged parts alone; `shown_any_` is false
    // until the first is shown, at `changed_at_`.
    StripState shown_;
    bool shown_any_ = false;
    int run_width_ = 0; // room kept for the run state's texts (pixels)
    Clock::time_point changed_at_;
};

} // namespace stelmo
