// The simulated rig: motor, carriage, hard stops and end switches behind the
// first port. Every access is a handful of compares; nothing allocates.
#include "runtime/ports/sim_rig.h"

namespace stelmo::ports {

namespace {

constexpr int PHASES = 4;                 // D0..D3, in the order that drives towards the far end
constexpr std::uint8_t PHASE_MASK = 0x0F; // D4..D7 are not connected to the motor

constexpr std::uint16_t RIG_DATA = PORT_BASE_FIRST + PORT_DATA;
constexpr std::uint16_t RIG_SWITCHES = PORT_BASE_FIRST + PORT_SWITCHES;
constexpr std::uint16_t IDLE_DATA = PORT_BASE_SECOND + PORT_DATA;
constexpr std::uint16_t IDLE_SWITCHES = PORT_BASE_SECOND + PORT_SWITCHES;

// The single phase a pattern energises, 0..3, or -1 for none or several.
int single_phase(std::uint8_t pattern)
{
    switch (pattern & PHASE_MASK) {
    case 0x1:
        return 0;
    case 0x2:
        return 1;
    case 0x4:
        return 2;
    case 0x8:
        return 3;
    default:
        return -1;
    }
}

} // namespace

bool SimRig::read(std::uint16_t port, std::uint8_t &value)
{
    switch (port) {
    case RIG_DATA:
        value = state_.data;
        return true;
    case RIG_SWITCHES:
        value = RIG_CODE_NEUTRAL;
        if (state_.home_closed)
            value = SWITCH_HOME;
        else if (state_.far_closed)
            value = SWITCH_FAR;
        return true;
    case IDLE_DATA:
    case IDLE_SWITCHES:
        value = PORT_NOTHING; // the second port has nothing behind it
        return true;
    default:
        value = PORT_NOTHING; // no such register
        return false;
    }
}

bool SimRig::write(std::uint16_t port, std::uint8_t value)
{
    switch (port) {
    case RIG_DATA: {
        bool changed = state_.data != value;
        state_.data = value;
        changed |= energise(value);
        if (changed && observer_)
            observer_(observer_context_);
        return true;
    }
    case RIG_SWITCHES:
    case IDLE_DATA:
    case IDLE_SWITCHES:
        return true; // accepted; nothing listens
    default:
        return false;
    }
}

bool SimRig::energise(std::uint8_t pattern)
{
    const int phase = single_phase(pattern);
    if (phase < 0)
        return false; // unpowered or ambiguous: the rotor holds where it is
    int direction = 0;
    if (phase == (state_.rotor + 1) % PHASES)
        direction = 1; // next phase: one step towards the far end
    else if (phase == (state_.rotor + PHASES - 1) % PHASES)
        direction = -1; // previous phase: one step towards home
    if (direction == 0)
        return false; // same phase holds; the opposite one pulls both ways equally

    state_.rotor = phase;
    const int target = state_.position + direction;
    if (target < -RIG_OVERTRAVEL || target > RIG_TRAVEL + RIG_OVERTRAVEL) {
        ++state_.stalls; // the rotor slips a step against the hard stop
        return true;
    }
    state_.position = target;
    ++state_.steps;
    state_.home_closed = target <= 0;
    state_.far_closed = target >= RIG_TRAVEL;
    return true;
}

bool check_sim_rig(std::string_view value, std::string &cause)
{
    if (value.empty() || value == "sim")
        return true;
    cause = "the simulated rig takes no options";
    return false;
}

Opened open_sim_rig(std::string_view value, Setup &setup, std::string &error)
{
    if (!check_sim_rig(value, error))
        return Opened::bad_value;
    auto rig = std::make_unique<SimRig>();
    setup.rig = rig.get();
    setup.backend = std::move(rig);
    setup.description = "simulated rig";
    return Opened::ok;
}

void SimRig::set_observer(void (*fn)(void *context), void *context)
{
    observer_ = fn;
    observer_context_ = context;
}

} // namespace stelmo::ports
