// Port backends behind inp() and outp(). A backend is a byte-level seam:
// read one byte from an I/O port, write one byte to one. Which backend runs is
// chosen at start-up by the STELMO_IO setting, through the registry in
// ports.cpp; the port monitor always wraps it, and the STELMO_TRACE setting
// wraps that in the port trace. Nothing here knows about widgets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace stelmo::ports {

class Monitor;
class SimRig;
class TraceBackend;

// The program's two port bases and the registers it uses on each.
constexpr std::uint16_t PORT_BASE_FIRST = 0x378;  // first port; the simulated rig sits here
constexpr std::uint16_t PORT_BASE_SECOND = 0x278; // second port
constexpr std::uint16_t PORT_DATA = 0;            // data register: D0..D3 drive the phases
constexpr std::uint16_t PORT_SWITCHES = 2;        // register that reports the end switches
constexpr std::uint8_t PORT_NOTHING = 0xFF;       // what a read returns with nothing behind it

// The program writes only data registers and reads only switch registers.
constexpr bool data_register(std::uint16_t port)
{
    return port == PORT_BASE_FIRST + PORT_DATA || port == PORT_BASE_SECOND + PORT_DATA;
}
constexpr bool switch_register(std::uint16_t port)
{
    return port == PORT_BASE_FIRST + PORT_SWITCHES || port == PORT_BASE_SECOND + PORT_SWITCHES;
}

// What the switch register reads while an end switch is closed; any other
// byte means neither.
constexpr std::uint8_t SWITCH_HOME = 13; // the home-end switch
constexpr std::uint8_t SWITCH_FAR = 14;  // the far-end switch

// One way of reaching the I/O ports.
class Backend {
public:
    virtual ~Backend() = default;
    // Reads one byte from `port` (the program's port number) into `value`.
    // False when the access failed or was refused; `value` is PORT_NOTHING then.
    virtual bool read(std::uint16_t port, std::uint8_t &value) = 0;
    // Writes one byte to `port`; false when the access failed or was refused.
    virtual bool write(std::uint16_t port, std::uint8_t value) = 0;
    // Reads as read() does, and gives in `raw` the byte the port itself gave
    // before the switch mask (switch_mask.h) was applied: the same as `value`
    // where no mask changed it. A backend that wraps another passes it on.
    virtual bool read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw)
    {
        const bool done = read(port, value);
        raw = value;
        return done;
    }
    // The physical port that `port` reaches (differs only where a mapping applies).
    virtual std::uint16_t physical(std::uint16_t port) const { return port; }
    // The errno of the last write that failed; 0 when none did or it is not known.
    virtual int write_errno() const { return 0; }

    // Writes whose failure is learnt only later: a backend that sends a write
    // without waiting for it (the port helper) hears with a later reply that
    // `count` writes to `port` failed, the last of them with errno `cause` (0:
    // not known), and then calls this, on the thread of that later access.
    using LateFailures = void (*)(void *context, std::uint16_t port, int cause, long count);
    // Has `report` called with `context` for such failures; null: no longer.
    // A backend that wraps another passes it on.
    virtual void watch_late_failures(LateFailures report, void *context)
    {
        (void)report;
        (void)context;
    }

    // The byte read() gives, PORT_NOTHING when it failed: for callers that
    // need only the byte, as inp() does.
    std::uint8_t read_byte(std::uint16_t port)
    {
        std::uint8_t value = PORT_NOTHING;
        read(port, value);
        return value;
    }
};

// What start-up chose. open_backend() chains the chosen backend, the switch
// mask on it where one is set, the port monitor on that and, when
// STELMO_TRACE is set, the port trace on top:
// inp/outp → [trace →] monitor → [switch mask →] backend.
struct Setup {
    std::unique_ptr<Backend> backend; // the top of the chain, what inp/outp reach
    std::string description;          // for the window title, e.g. "simulated rig"
    // Hardware only (empty for the simulated rig), for the status strip: the
    // device file, printable, and the mappings that move a base, e.g.
    // "0x378→0xd010" (empty when none does).
    std::string device;
    std::string mapping;
    SimRig *rig = nullptr;         // the simulated rig when it is the backend, else null
    Monitor *monitor = nullptr;    // the port monitor in the chain (set by open_backend)
    TraceBackend *trace = nullptr; // the port trace in the chain, null without STELMO_TRACE
};

// How a backend's open function ended.
enum class Opened {
    ok,        // `setup` holds the backend
    bad_value, // the STELMO_IO value is wrong; `error` says how
    failed,    // the backend cannot be had; `error` is the whole line
};

// One entry of the backend registry: a backend STELMO_IO can choose.
struct BackendType {
    std::string_view prefix; // first word of the STELMO_IO value, e.g. "port"
    const char *syntax;      // the value's form, for the usage line (English)
    // Checks the whole value (prefix included) as `open` would, opening
    // nothing; false with `cause` saying what is wrong.
    bool (*check)(std::string_view value, std::string &cause);
    // Opens the backend for the whole STELMO_IO value (prefix included) into
    // `setup`: backend, description and, for the simulated rig, the rig.
    Opened (*open)(std::string_view value, Setup &setup, std::string &error);
};

// True when the io value `value` names the backend `prefix`: the prefix
// alone, or followed by ':' or ','. The rule of both registries, stelmo's
// and the port helper's.
bool names_backend(std::string_view value, std::string_view prefix);

// Builds the backend that the settings STELMO_IO and STELMO_TRACE ask for
// (null or empty: not set); `trace_given` says where the trace's setting was
// given ("--trace", "STELMO_TRACE", "/etc/stelmo/stelmo.conf:3"), and
// `switch_mask` is ANDed with every byte read from a switch register (0xff:
// none is changed). On failure returns false and sets `error` to one line
// naming the setting, file or device and the cause (without the "stelmo: "
// prefix).
bool open_backend(const char *io, const char *trace, Setup &setup, std::string &error,
                  std::string_view trace_given = "STELMO_TRACE", std::uint8_t switch_mask = 0xff);

// Checks an io value of STELMO_IO's syntax without opening anything, for a
// setting given elsewhere: `name` is how that setting is written before its
// value, e.g. "--io " or "io=". True when open_backend would take the value;
// else false with `error` naming the setting, the cause and the syntax.
bool check_io(std::string_view value, std::string_view name, std::string &error);

// Routes inp() and outp() to `backend` from now on (null: no backend; inp
// then reads 0xFF and outp refuses). The caller keeps ownership.
void install(Backend *backend);

// The backend inp() and outp() reach now (null when none is installed).
Backend *installed();

} // namespace stelmo::ports
