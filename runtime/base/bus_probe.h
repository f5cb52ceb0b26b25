// Asking a D-Bus bus a few questions within a deadline, before Qt talks to
// it: Qt's own connection waits up to 25 seconds for each answer, and a bus
// that accepts a connection but never answers (stopped, stuck) would hold
// start-up that long or for good. A connection here authenticates, says
// Hello and calls methods with string arguments, every step within the
// deadline. Unix-domain addresses only (path= and abstract=, the ones
// desktops and the system use). No Qt.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace stelmo::bus {

using Clock = std::chrono::steady_clock;

// An address the D-Bus library refuses at once: set where stelmo keeps Qt off
// a bus, and read as no bus at all.
inline constexpr const char *NO_BUS = "disabled:";

// The session bus: DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when
// that is a socket (where the D-Bus library looks); empty when there is none
// (NO_BUS counts as none).
std::string session_address();

// The system bus: DBUS_SYSTEM_BUS_ADDRESS, else the standard socket.
std::string system_address();

// Whether the bus at `address` takes a connection and then does not greet
// back within `wait_ms`: there, but stopped or stuck.
bool silent(std::string_view address, int wait_ms);

class Probe {
public:
    // Connects to the first of the `;`-separated addresses that takes a
    // connection, authenticates and says Hello, all before `deadline`.
    Probe(std::string_view address, Clock::time_point deadline);
    ~Probe();
    Probe(const Probe &) = delete;
    Probe &operator=(const Probe &) = delete;

    // Connected and greeted; else why() says what went wrong.
    bool ok() const { return fd_ >= 0; }
    // Took a connection, then did not greet back in time: a bus that is
    // there but does not answer (stopped, stuck).
    bool silent() const { return fd_ < 0 && connected_; }
    const std::string &why() const { return why_; }

    // Calls `member` of `interface` on object `path` of `destination` with
    // string arguments, never starting a service for it. True when a reply
    // came before the deadline (an error reply too, which `failed` says);
    // `reply` then holds its body (a boolean or a string first: as_bool(),
    // as_string()). False with why() set when none came.
    bool call(const char *destination, const char *path, const char *interface, const char *member,
              std::initializer_list<std::string_view> arguments, std::string &reply, bool &failed);

    // The first value of a reply body: a boolean, a string, or a variant
    // holding a boolean (a property's value).
    static bool as_bool(const std::string &reply);
    static std::string as_string(const std::string &reply);
    static bool as_variant_bool(const std::string &reply);

private:
    bool connect_to(std::string_view address);
    bool send_all(std::string_view bytes);
    bool receive(std::string &bytes, std::size_t size);
    bool authenticate();
    bool take_reply(std::uint32_t serial, std::string &reply, bool &failed);
    bool fail(std::string why);

    int fd_ = -1;
    bool connected_ = false; // some address took a connection
    Clock::time_point deadline_;
    std::uint32_t serial_ = 0;
    std::string pending_; // bytes received and not yet taken
    std::string why_;
};

} // namespace stelmo::bus
