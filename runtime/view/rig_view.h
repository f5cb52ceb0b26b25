// "Simulated rig": a small window that shows what a person at the bench would
// see of the simulated rig: the four phase lamps, the carriage on its travel
// with both end switches and hard stops, and the step and stall counters.
//
// Threads: the rig changes on whichever thread calls into the program (a
// tick thread too), always with the callback lock held. Its observer only
// marks the frame; once per frame the view copies the rig's state under the
// callback lock, and paints from that copy on the event-loop thread.
//
// Cost: the view repaints once per screen frame while the motor moves, so a
// frame repaints only the parts that changed (lamps, carriage, switches) over
// a picture of what never changes, drawn once per size; the row of lamps is
// a picture too, one for each way it can look, drawn when first needed. The counters are the only
// text drawn after that, and like every text stelmo shows while stepping they change at most about
// ten times a second (COUNTERS_INTERVAL): nobody reads faster, and text costs the most.
//
// Assistive technology reads the counters' copy as the view's accessible
// description ("Carriage at step 120; home switch open, far switch open;
// phase D2 on"), renewed with the counters, at most every COUNTERS_INTERVAL,
// when it changed. Texts go through Qt's translation (context "RigView").
#pragma once

#include "runtime/clock/callback_lock.h"
#include "runtime/clock/frame_pacer.h"
#include "runtime/ports/sim_rig.h"

#include <chrono>
#include <memory>

#include <QCoreApplication>
#include <QPixmap>
#include <QRectF>
#include <QRegion>
#include <QWidget>

namespace stelmo {

class RigView : public QWidget {
    Q_DECLARE_TR_FUNCTIONS(RigView)

public:
    // Watches `rig` and repaints through `frames`, reading the rig under
    // `lock`, the lock held around every access to it; all three must outlive
    // the view. Created hidden; once shown it never takes the keyboard focus
    // from the operator panel.
    RigView(ports::SimRig &rig, FramePacer &frames, CallbackLock &lock, QWidget *parent = nullptr);
    ~RigView() override;

    // The shortest time between two changes of the counters' text.
    static constexpr std::chrono::milliseconds COUNTERS_INTERVAL{100};

    // Where things are drawn, for the current widget size.
    QRectF lamp(int phase) const; // lamp of phase D0..D3
    QRectF track() const;         // the travel between the hard stops
    QRectF carriage(int position) const;
    QRectF home_switch() const;
    QRectF far_switch() const;

    QSize sizeHint() const override;

    // Shows the view beside `panel` (right, else left, else below), within
    // the available area of the panel's screen, the first time only; later
    // calls leave it where the operator put it.
    void show_beside(const QWidget &panel);

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void changeEvent(QEvent *) override;

private:
    static void rig_changed(void *view);
    // Copies the rig's state and marks for repainting what changed.
    void take_snapshot();
    // The parts that differ between `was` and `now`.
    QRegion changed(const ports::RigState &was, const ports::RigState &now) const;
    QRectF counters() const;
    // The picture of what never changes, drawn once per size.
    void draw_pictures();
    // Where the four lamps lie, with room for the ring, and the picture of
    // them for the data lines `lines` and `rotor`.
    QRect lamps_row() const;
    const QPixmap &lamp_row(int lines, int rotor);
    // Sets the accessible description from the counters' copy, when it changed.
    void describe();
    double x_of(double position) const;

    ports::SimRig &rig_;
    CallbackLock &lock_;
    ports::RigState shown_;   // the rig as of the last frame; what is painted
    ports::RigState counted_; // ... as the counters and the description say it, at `counted_at_`
    std::chrono::steady_clock::time_point counted_at_;
    QPixmap still_;       // everything that never changes, at the widget's size
    QPixmap rows_[16][4]; // the lamps' row over `still_`, [data's low four bits][rotor]

    // Repaints at most once per frame, however fast the rig steps.
    FramePacer &frames_;
    FramePacer::Client client_;
    bool placed_ = false;
};

} // namespace stelmo
