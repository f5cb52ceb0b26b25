// inp() and outp(), the installed backend they route to, and the start-up
// choice of backend from STELMO_IO and STELMO_TRACE.
#include "runtime/ports/ports.h"

#include "runtime/ports/port_device.h"
#include "runtime/ports/printable.h"
#include "runtime/ports/sim_rig.h"
#include "runtime/ports/trace.h"
#include "runtime/services.h"

#include <cstdlib>
#include <string_view>

namespace stelmo::ports {

namespace {

// The backend inp() and outp() reach; null until start-up installs one. Only
// the event-loop thread calls them, so a plain pointer does.
Backend *current = nullptr;

constexpr const char *SYNTAX = "use STELMO_IO=sim (the default) or "
                               "STELMO_IO=port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] "
                               "(PHYSICAL in hex with 0x or decimal, at most 0xfffd)";

} // namespace

void install(Backend *backend)
{
    current = backend;
}

Backend *installed()
{
    return current;
}

bool open_backend(const char *io, const char *trace, Setup &setup, std::string &error)
{
    const std::string_view choice = io ? io : "";
    std::unique_ptr<Backend> backend;
    std::string description;
    SimRig *rig = nullptr;

    if (choice.empty() || choice == "sim") {
        auto sim = std::make_unique<SimRig>();
        rig = sim.get();
        backend = std::move(sim);
        description = "simulated rig";
    } else {
        DeviceConfig config;
        std::string cause;
        if (!parse_device_config(choice, config, cause)) {
            error = "STELMO_IO=" + printable(choice) + ": " + cause + "; " + SYNTAX;
            return false;
        }
        auto device = DevicePort::open(config, error);
        if (!device)
            return false;
        description = device->description();
        backend = std::move(device);
    }

    if (trace && *trace) {
        backend = TraceBackend::open(trace, std::move(backend), error);
        if (!backend)
            return false;
    }

    setup.backend = std::move(backend);
    setup.description = std::move(description);
    setup.rig = rig;
    return true;
}

bool open_from_environment(Setup &setup, std::string &error)
{
    return open_backend(std::getenv("STELMO_IO"), std::getenv("STELMO_TRACE"), setup, error);
}

} // namespace stelmo::ports

// With no backend installed a read sees nothing behind the port and a write is
// refused. The program ignores what outp returns; 0 means the write was made.
extern "C" std::uint8_t inp(std::uint16_t port)
{
    using stelmo::ports::current;
    return current ? current->read(port) : stelmo::ports::PORT_NOTHING;
}

extern "C" int outp(std::uint16_t port, std::uint8_t value)
{
    using stelmo::ports::current;
    if (!current)
        return ERR_NO_ENGINE;
    return current->write(port, value) ? 0 : ERR_BAD_ARGUMENT;
}
