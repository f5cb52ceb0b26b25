// The hardware backend: real port accesses through /dev/port (or another
// device file with the same semantics), where the file offset is the I/O port
// and each byte read or written is one access. Optionally maps the program's
// two port bases to other physical bases, e.g. a parallel port on a PCI card.
#pragma once

#include "runtime/ports/ports.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace stelmo::ports {

constexpr const char *PORT_DEVICE = "/dev/port";
// Shows the kernel's lockdown mode, e.g. "none [integrity] confidentiality".
constexpr const char *LOCKDOWN_FILE = "/sys/kernel/security/lockdown";
// The highest physical base: its switch register, base + 2, must still be a port.
constexpr std::uint16_t PHYSICAL_BASE_MAX = 0xFFFF - PORT_SWITCHES;

// The two port bases, in the order of DeviceConfig::physical.
constexpr std::uint16_t LOGICAL_BASES[2] = {PORT_BASE_FIRST, PORT_BASE_SECOND};

// What STELMO_IO=port[:DEVICE][,LOGICAL=PHYSICAL]... asks for.
struct DeviceConfig {
    std::string device = PORT_DEVICE; // device file, never empty
    // Physical base that each of LOGICAL_BASES reaches; base + 2 follows it.
    std::uint16_t physical[2] = {PORT_BASE_FIRST, PORT_BASE_SECOND};
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

// True for the four registers the program uses: data register and switch
// register of each of LOGICAL_BASES (program's port numbers).
bool program_register(std::uint16_t port);

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

// The line reported when an access to `port` on `device` is refused.
std::string refusal_message(const std::string &device, std::uint16_t port);

// Counts a refused access to `port` on `device` (`shown` is
// printable(device)) in the fault log, which reports the first per port.
// Allocates nothing but for that first report.
void count_refusal(const std::string &device, const std::string &shown, std::uint16_t port);

// Failed or refused accesses since the device was opened.
struct DeviceFaults {
    long failed_reads = 0;  // reads that returned no byte (the program got 0xFF)
    long failed_writes = 0; // writes that did not land
    int write_errno = 0;    // errno of the last write that failed (0: none, or no byte moved)
    long refused = 0;       // accesses to ports outside the allow-list, never made
};

class DevicePort : public Backend {
public:
    // Opens the device read-write. Null with `error` set to one line (device,
    // cause, what to do) when that fails.
    static std::unique_ptr<DevicePort> open(const DeviceConfig &config, std::string &error,
                                            const char *lockdown_file = LOCKDOWN_FILE);
    // The same, with open(2)'s errno in `err` instead of a line.
    static std::unique_ptr<DevicePort> open(const DeviceConfig &config, int &err);
    ~DevicePort() override;

    DevicePort(const DevicePort &) = delete;
    DevicePort &operator=(const DevicePort &) = delete;

    // Only the four registers the program uses are reached: data and switch
    // register of each base, after mapping. Anything else is refused untouched.
    bool read(std::uint16_t port, std::uint8_t &value) override;
    bool write(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t physical(std::uint16_t port) const override;

    const DeviceFaults &faults() const { return faults_; }
    // For the window title: describe() of the configuration.
    std::string description() const { return describe(config_); }
    const DeviceConfig &config() const { return config_; }

private:
    DevicePort(const DeviceConfig &config, int fd);
    // Index 0..3 of an allowed register (base, base + 2 of each port), else -1.
    static int slot(std::uint16_t port);
    std::uint16_t reach(int slot) const;
    void refuse(std::uint16_t port);
    // Counts a failed access; the fault log reports the first one per register
    // and direction. `err` 0 means the access moved no byte without an error.
    void fail(bool writing, int slot, std::uint16_t port, int err);

    DeviceConfig config_;
    std::string shown_; // printable(config_.device), made once for the fault kinds
    int fd_;
    DeviceFaults faults_;
};

// Opens the device in this process for STELMO_IO=port...: parses the value,
// then opens the device. The registry opens devices through the port helper
// instead (open_helper_backend); the helper opens them this way.
Opened open_device_port(std::string_view value, Setup &setup, std::string &error);

// The registry's check of a STELMO_IO=port... value: parse_device_config.
bool check_device_port(std::string_view value, std::string &cause);

} // namespace stelmo::ports
