// "Simulated rig": a small window that shows what a person at the bench would
// see of the simulated rig: the four phase lamps, the carriage on its travel
// with both end switches and hard stops, and the step and stall counters.
//
// Threads: the rig changes on whichever thread calls into the program (a
// tick thread too), always with the callback lock held. Its observer only
// marks the frame; once per frame the view copies the rig's state under the
// callback lock, and paints from that copy on the event-loop thread.
//
// Assistive technology reads the same copy as the view's accessible
// description ("Carriage at step 120; home switch open, far switch open;
// phase D2 on"), renewed with the frame when it changed. Texts go through
// Qt's translation (context "RigView").
#pragma once

#include "runtime/clock/callback_lock.h"
#include "runtime/clock/frame_pacer.h"
#include "runtime/ports/sim_rig.h"

#include <memory>

#include <QCoreApplication>
#include <QRectF>
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

private:
    static void rig_changed(void *view);
    void take_snapshot();
    // Sets the accessible description from the copy, when it changed.
    void describe();
    double x_of(double position) const;

    ports::SimRig &rig_;
    CallbackLock &lock_;
    ports::RigState shown_; // the rig as of the last frame; what is painted
    // Repaints at most once per frame, however fast the rig steps.
    FramePacer &frames_;
    FramePacer::Client client_;
    bool placed_ = false;
};

} // namespace stelmo
