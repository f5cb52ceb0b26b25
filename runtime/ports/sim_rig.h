// The simulated rig: a four-phase stepper on D0..D3 of the first port, moving
// a carriage between a home switch and a far switch, with hard stops beyond
// them. It answers the program's port accesses as the real bench would.
#pragma once

#include "runtime/ports/ports.h"

#include <cstdint>

namespace stelmo::ports {

// Geometry of the simulated travel, in full steps.
constexpr int RIG_TRAVEL = 240;   // home switch at 0, far switch at RIG_TRAVEL
constexpr int RIG_START = 120;    // where the carriage stands at start-up
constexpr int RIG_OVERTRAVEL = 5; // hard stops this far beyond each switch

// What a person at the bench would see.
struct RigState {
    int position = RIG_START;  // full steps from the home switch (-5..245)
    int rotor = 0;             // phase the rotor stands at, 0..3 for D0..D3
    std::uint8_t data = 0;     // last byte on the data lines
    bool home_closed = false;  // home switch pressed (position <= 0)
    bool far_closed = false;   // far switch pressed (position >= RIG_TRAVEL)
    long steps = 0;            // full steps the carriage moved
    long stalls = 0;           // steps refused at a hard stop
};

class SimRig : public Backend {
public:
    std::uint8_t read(std::uint16_t port) override;
    bool write(std::uint16_t port, std::uint8_t value) override;

    const RigState &state() const { return state_; }

    // Called after any access that changed the state, on the caller's thread.
    // Keep it cheap: it runs on the tick path. Null clears it.
    void set_observer(void (*fn)(void *context), void *context);

private:
    RigState state_;
    void (*observer_)(void *) = nullptr;
    void *observer_context_ = nullptr;
};

} // namespace stelmo::ports
