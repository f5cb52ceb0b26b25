// The hardware backend's settings and words, shared by stelmo and its port
// helper: what STELMO_IO=port[:DEVICE][,LOGICAL=PHYSICAL]... asks for (a
// device file such as /dev/port, where the file offset is the I/O port, and
// where the program's two port bases land on it, e.g. a parallel port on a
// PCI card), the registers that may be reached, and how a failure is worded.
// The device itself is opened and driven by the port helper alone
// (runtime/port_helper/device_port.h); this process carries no code that
// touches it.
#pragma once

#include "runtime/base/text.h"
#include "runtime/ports/ports.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace stelmo::ports {

constexpr const char *PORT_DEVICE = "/dev/port";
// Shows the kernel's lockdown mode, e.g. "none [integrity] confidentiality".
constexpr const char *LOCKDOWN_FILE = "/sys/kernel/security/lockdown";
// The highest physical base: its switch register, base + 2, must still be a port.
constexpr std::uint16_t PHYSICAL_BASE_MAX = 0xFFFF - PORT_SWITCHES;

// Room for a fault kind naming the device: printable() of its name (at most
// PRINTABLE_MAX characters of up to 4 bytes each) and a few words.
constexpr std::size_t FAULT_KIND_MAX = 4 * PRINTABLE_MAX + 64;

// The two port bases, in the order of DeviceConfig::physical.
constexpr std::uint16_t LOGICAL_BASES[2] = {PORT_BASE_FIRST, PORT_BASE_SECOND};

// What STELMO_IO=port[:DEVICE][,LOGICAL=PHYSICAL]... asks for.
struct DeviceConfig {
    std::string device = PORT_DEVICE; // device file, never empty
    // Physical base that each of LOGICAL_BASES reaches; base + 2 follows it.
    std::uint16_t physical[2] = {PORT_BASE_FIRST, PORT_BASE_SECOND};

    bool operator==(const DeviceConfig &) const = default;
};

// Parses a STELMO_IO value of the form port[:DEVICE][,LOGICAL=PHYSICAL]...
// On failure returns false and sets `cause` to what is wrong (without the
// variable or the syntax, which the caller adds).
bool parse_device_config(std::string_view value, DeviceConfig &config, std::string &cause);

// True when the lockdown file shows a mode other than "none"; `mode` gets the
// active mode. A missing or unreadable file means no lockdown.
bool lockdown_active(const char *lockdown_file = LOCKDOWN_FILE, std::string *mode = nullptr);

// One line explaining why `device` could not be opened (errno `err`) and what
// to do about it; the setcap hint names `binary`, by default this program.
std::string open_failure(const std::string &device, int err,
                         const char *lockdown_file = LOCKDOWN_FILE, const char *binary = nullptr);

// One line saying that `device` is held by the stelmo of process `holder`
// (-1: not known), which drives it already.
std::string in_use_failure(const std::string &device, long holder);

// A port number as the texts show it, e.g. "0x378".
std::string port_text(unsigned port);

// True for the four registers the program uses: data register and switch
// register of each of LOGICAL_BASES (program's port numbers).
bool program_register(std::uint16_t port);

// True when the program may make this access: a write to a data register or
// a read of a switch register (the allow-list by direction).
bool allowed_access(std::uint16_t port, bool writing);

// The physical port that `port` reaches under `config` (`port` itself when it
// is not one of the program's registers).
std::uint16_t physical_port(const DeviceConfig &config, std::uint16_t port);

// For the window title: the device and the mappings that move a base,
// e.g. "/dev/port (0x378→0xd010, 0x278→0xd020)".
std::string describe(const DeviceConfig &config);

// The mappings alone, e.g. "0x378→0xd010, 0x278→0xd020"; empty when none
// moves a base.
std::string describe_mapping(const DeviceConfig &config);

// Sets what `setup` says of the device: description, device and mapping.
void describe_device(const DeviceConfig &config, Setup &setup);

// The line reported when a read (`writing` false) or write of `port` on
// `device` is refused: not one of the four registers, or the wrong direction.
std::string refusal_message(const std::string &device, std::uint16_t port, bool writing);

// Counts a refused access to `port` on `device` (`shown` is
// printable(device)) in the fault log, which reports the first per port and
// direction. Allocates nothing but for that first report.
void count_refusal(const std::string &device, const std::string &shown, std::uint16_t port,
                   bool writing);

// Failed or refused accesses since the device was opened.
struct DeviceFaults {
    long failed_reads = 0;  // reads that returned no byte (the program got 0xFF)
    long failed_writes = 0; // writes that did not land
    int write_errno = 0;    // errno of the last write that failed (0: none, or no byte moved)
    long refused = 0;       // accesses outside the allow-list, never made
};

// The registry's check of a STELMO_IO=port... value: parse_device_config.
bool check_device_port(std::string_view value, std::string &cause);

} // namespace stelmo::ports
