// inp() and outp(), the installed backend they route to, and the backend
// registry that start-up chooses from.
#include "runtime/ports/ports.h"

#include "runtime/base/text.h"
#include "runtime/ports/helper_port.h"
#include "runtime/ports/monitor.h"
#include "runtime/ports/port_device.h"
#include "runtime/ports/sim_rig.h"
#include "runtime/ports/switch_mask.h"
#include "runtime/ports/trace.h"
#include "runtime/services.h"

#include <algorithm>

namespace stelmo::ports {

namespace {

// --- state ------------------------------------------------------------------
// The backend inp() and outp() reach: null until start-up installs one (then
// it lives as long as the process). Installed before any tick thread starts,
// and called only from callbacks, under the engine's callback lock, so a
// plain pointer does.
Backend *current = nullptr;

// --- the backend registry -----------------------------------------------------
// A new backend is a file that defines its open function, and one line here.
// The first entry is the default, used when STELMO_IO is not set. A device is
// reached through the port helper, never opened in this process.
constexpr BackendType BACKENDS[] = {
    {"sim", TR_TEXT_NOOP("Ports", "sim (the default)"), &check_sim_rig, &open_sim_rig},
    {"port",
     TR_TEXT_NOOP("Ports", "port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] "
                           "(PHYSICAL in hex with 0x or decimal, at most 0xfffd)"),
     &check_device_port, &open_helper_backend},
};

// The entry that `value` names (names_backend).
const BackendType *backend_type(std::string_view value)
{
    if (value.empty())
        return &BACKENDS[0];
    for (const BackendType &type : BACKENDS)
        if (names_backend(value, type.prefix))
            return &type;
    return nullptr;
}

// "use <name><first> or <name><second> ...", from the registry; `name` is
// how the setting is written, e.g. "STELMO_IO=".
std::string usage(std::string_view name)
{
    std::string alternatives;
    for (const BackendType &type : BACKENDS) {
        if (&type != &BACKENDS[0])
            alternatives += tr_text("Ports", " or ");
        alternatives += name;
        alternatives += tr_text("Ports", type.syntax);
    }
    return fill_in(tr_text("Ports", "use %1"), alternatives);
}

} // namespace

bool names_backend(std::string_view value, std::string_view prefix)
{
    const std::string_view rest = value.substr(std::min(prefix.size(), value.size()));
    return value.substr(0, prefix.size()) == prefix &&
           (rest.empty() || rest.front() == ':' || rest.front() == ',');
}

void install(Backend *backend)
{
    current = backend;
}

Backend *installed()
{
    return current;
}

bool open_backend(const char *io, const char *trace, Setup &setup, std::string &error,
                  std::string_view trace_given, std::uint8_t switch_mask)
{
    const std::string_view value = io ? io : "";
    const BackendType *type = backend_type(value);
    Setup opened;
    std::string cause = tr_text("Ports", "unknown port backend");
    switch (type ? type->open(value, opened, cause) : Opened::bad_value) {
    case Opened::ok:
        break;
    case Opened::bad_value:
        error = "STELMO_IO=" + printable(value) + ": " + cause + "; " + usage("STELMO_IO=");
        return false;
    case Opened::failed:
        error = cause;
        return false;
    }

    // The mask sits directly on the backend, so that everything above it sees
    // the byte the program gets; the monitor on that, so the chain below the
    // trace is the same with or without one.
    if (switch_mask != 0xff)
        opened.backend = std::make_unique<SwitchMask>(std::move(opened.backend), switch_mask);
    auto monitor = std::make_unique<Monitor>(std::move(opened.backend));
    opened.monitor = monitor.get();
    opened.backend = std::move(monitor);
    if (trace && *trace) {
        auto traced = TraceBackend::open(trace, std::move(opened.backend), error, trace_given);
        if (!traced)
            return false;
        traced->set_run_info(opened.description, {});
        opened.trace = traced.get();
        opened.backend = std::move(traced);
    }
    setup = std::move(opened);
    return true;
}

bool check_io(std::string_view value, std::string_view name, std::string &error)
{
    const BackendType *type = backend_type(value);
    std::string cause = tr_text("Ports", "unknown port backend");
    if (type && type->check(value, cause))
        return true;
    error = std::string(name) + printable(value) + ": " + cause + "; " + usage(name);
    return false;
}

} // namespace stelmo::ports

// With no backend installed a read sees nothing behind the port and a write is
// refused. A failed read gives 0xFF, which is neither switch code. The program
// ignores what outp returns.
extern "C" std::uint8_t inp(std::uint16_t port)
{
    using stelmo::ports::current;
    return current ? current->read_byte(port) : stelmo::ports::PORT_NOTHING;
}

extern "C" int outp(std::uint16_t port, std::uint8_t value)
{
    using stelmo::ports::current;
    if (!current)
        return ERR_NO_ENGINE;
    return current->write(port, value) ? 0 : ERR_PORT_IO;
}
