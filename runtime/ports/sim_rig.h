// The simulated rig: a four-phase stepper on D0..D3 of the first port, moving
// a carriage between a home switch and a far switch, with hard stops beyond
// them. It answers the program's port accesses as the real bench would.
#pragma once

#include "runtime/ports/ports.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace stelmo::ports {

// Geometry of the simulated travel, in full steps.
constexpr int RIG_TRAVEL = 240;   // home switch at 0, far switch at RIG_TRAVEL
constexpr int RIG_START = 120;    // where the carriage stands at start-up
constexpr int RIG_OVERTRAVEL = 5; // hard stops this far beyond each switch

// What the switch register of the first port reads: SWITCH_HOME with the
// carriage at or beyond the home switch, SWITCH_FAR at or beyond the far one.
// Neither switch: bits 6-7 and 2 high, as an idle control register reads. Its
// top bit set makes it negative once the program widens it as a signed byte.
constexpr std::uint8_t RIG_CODE_NEUTRAL = 0xC4;

// What a person at the bench would see.
struct RigState {
    int position = RIG_START; // full steps from the home switch (-5..245)
    int rotor = 0;            // phase the rotor stands at, 0..3 for D0..D3
    std::uint8_t data = 0;    // last byte on the data lines
    bool home_closed = false; // home switch pressed (position <= 0)
    bool far_closed = false;  // far switch pressed (position >= RIG_TRAVEL)
    long steps = 0;           // full steps the carriage moved
    long stalls = 0;          // steps refused at a hard stop
};

class SimRig : public Backend {
public:
    // The first port's data and switch registers answer; the second port's
    // read 0xFF, with nothing behind them; any other port fails.
    bool read(std::uint16_t port, std::uint8_t &value) override;
    bool write(std::uint16_t port, std::uint8_t value) override;

    // Like every access, read it with the engine's callback lock held:
    // ticks change the rig on their own threads.
    const RigState &state() const { return state_; }

    // Called after any access that changed the state, on the caller's thread,
    // a tick thread too. Keep it cheap and thread-safe: it runs on the tick
    // path. Null clears it. Set it with the callback lock held.
    void set_observer(void (*fn)(void *context), void *context);

private:
    // Energises the phases in the low nibble of `pattern`; true when the rig changed.
    bool energise(std::uint8_t pattern);

    RigState state_;
    void (*observer_)(void *) = nullptr;
    void *observer_context_ = nullptr;
};

// The registry's opener for STELMO_IO=sim (or no STELMO_IO at all), which
// takes no options, and its check of the value.
Opened open_sim_rig(std::string_view value, Setup &setup, std::string &error);
bool check_sim_rig(std::string_view value, std::string &cause);

} // namespace stelmo::ports
