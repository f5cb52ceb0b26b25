// Port backends behind inp() and outp(). A backend is a byte-level seam:
// read one byte from an I/O port, write one byte to one. Which backend runs is
// chosen at start-up from STELMO_IO; STELMO_TRACE wraps it in the port trace.
// Nothing here knows about widgets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace stelmo::ports {

class SimRig;

// The program's two port bases and the registers it uses on each.
constexpr std::uint16_t PORT_BASE_FIRST = 0x378;  // first port; the simulated rig sits here
constexpr std::uint16_t PORT_BASE_SECOND = 0x278; // second port
constexpr std::uint16_t PORT_DATA = 0;            // data register: D0..D3 drive the phases
constexpr std::uint16_t PORT_SWITCHES = 2;        // register that reports the end switches
constexpr std::uint8_t PORT_NOTHING = 0xFF;       // what a read returns with nothing behind it

// One way of reaching the I/O ports.
class Backend {
public:
    virtual ~Backend() = default;
    // Reads one byte from `port` (the program's port number).
    virtual std::uint8_t read(std::uint16_t port) = 0;
    // Writes one byte to `port`; false when the access failed or was refused.
    virtual bool write(std::uint16_t port, std::uint8_t value) = 0;
    // The physical port that `port` reaches (differs only where a mapping applies).
    virtual std::uint16_t physical(std::uint16_t port) const { return port; }
};

// What start-up chose.
struct Setup {
    std::unique_ptr<Backend> backend; // trace included, when STELMO_TRACE is set
    std::string description;          // for the window title, e.g. "simulated rig"
    SimRig *rig = nullptr;            // the simulated rig when it is the backend, else null
};

// Builds the backend that STELMO_IO and STELMO_TRACE ask for. On failure
// returns false and sets `error` to one line naming the variable, file or
// device and the cause (without the "stelmo: " prefix).
bool open_from_environment(Setup &setup, std::string &error);

// The same from given values of STELMO_IO and STELMO_TRACE (null: not set).
bool open_backend(const char *io, const char *trace, Setup &setup, std::string &error);

// Routes inp() and outp() to `backend` from now on (null: no backend; inp
// then reads 0xFF and outp refuses). The caller keeps ownership.
void install(Backend *backend);

// The backend inp() and outp() reach now (null when none is installed).
Backend *installed();

} // namespace stelmo::ports
