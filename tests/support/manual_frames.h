// A frame pacer whose frames come only when the test asks for one, so what
// happens per frame is counted exactly, however busy the machine.
#pragma once

#include "runtime/clock/frame_pacer.h"

#include <memory>

namespace support {

class ManualFrames {
public:
    ManualFrames() : clock_(new Clock), pacer_(std::unique_ptr<stelmo::FrameClock>(clock_), 16) {}

    stelmo::FramePacer &pacer() { return pacer_; }

    // One frame, as the pacer's clock gives it while switched on. False, and
    // no frame, while the pacer keeps its clock off.
    bool step()
    {
        if (!clock_->on)
            return false;
        pacer_.frame();
        return true;
    }

private:
    struct Clock : stelmo::FrameClock {
        void set_enabled(bool enabled) override { on = enabled; }
        bool on = false;
    };
    Clock *clock_; // owned by pacer_
    stelmo::FramePacer pacer_;
};

} // namespace support
