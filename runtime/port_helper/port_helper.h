// The port helper stelmo-port: the one process that holds a port device. The
// engine starts it with its end of a socketpair on HELPER_SOCKET. It opens the
// backend its registry names for the io setting, gives up every capability,
// and then serves the four registers the program uses, over the protocol in
// runtime/ports/helper_protocol.h, until the engine closes its end.
#pragma once

#include "runtime/config/conf_file.h"
#include "runtime/port_helper/served_backend.h"

#include <span>
#include <string>

namespace stelmo::ports::helper {

// What the helper is told.
struct Options {
    std::string io;                     // --io BACKEND, else STELMO_IO; empty: not given
    std::string config = SYSTEM_CONFIG; // --config PATH: another file, only without privileges
    bool config_given = false;
};

// The backends the helper serves, the default first.
std::span<const ServedBackend> served_backends();

// Reads `argv` (and STELMO_IO when there is no --io). False with `error` on an
// unknown or incomplete argument.
bool parse_options(int argc, char **argv, Options &options, std::string &error);

// Decides the backend, device and mapping. Without privileges (`secure`
// false) a given setting wins, else the configuration file's io. With
// privileges (the helper got them from its file capability or set-user-ID
// bit) they come from the configuration file alone, which only root may be
// able to change, and a given setting other than a bare "port" must say the
// same. An empty io counts as not set. The entry of `registry` chosen, or null
// with `error`.
const ServedBackend *choose_device(const Options &options, bool secure, DeviceConfig &config,
                                   std::string &error,
                                   std::span<const ServedBackend> registry = served_backends());

// Serves requests on `socket` with `backend` (`device` names it in reports)
// until the engine closes its end: 0 then. Only writes to the data registers
// and reads of the switch registers reach the backend; anything else is
// refused untouched. A malformed request or a broken socket ends it at once,
// reported, with 1; no access is made for it.
int serve(int socket, Backend &backend, const std::string &device);

// The helper from start to end with the backends of `registry`, on
// HELPER_SOCKET; the exit status.
int run(int argc, char **argv, std::span<const ServedBackend> registry);

// run() with served_backends(): the helper's main.
int helper_main(int argc, char **argv);

} // namespace stelmo::ports::helper
