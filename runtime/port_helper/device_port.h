// The hardware backend through /dev/port (or another device file with the
// same semantics), where the file offset is the I/O port and each byte read
// or written is one access. Built into the port helper alone: stelmo reaches
// it only through the helper's socket.
#pragma once

#include "runtime/port_helper/served_backend.h"
#include "runtime/ports/port_device.h"

#include <memory>
#include <string>

namespace stelmo::ports::helper {

class DevicePort : public Backend {
public:
    // Opens the device read-write and locks its four registers for this
    // process (a POSIX record lock on their bytes), so that a second stelmo
    // cannot drive them meanwhile, whether the device is /dev/port or a
    // file standing in for it. Null with `failure` set when either fails.
    static std::unique_ptr<DevicePort> open(const DeviceConfig &config, OpenFailure &failure);
    ~DevicePort() override;

    DevicePort(const DevicePort &) = delete;
    DevicePort &operator=(const DevicePort &) = delete;

    // Only the four registers the program uses are reached: data and switch
    // register of each base, after mapping. Anything else is refused untouched.
    bool read(std::uint16_t port, std::uint8_t &value) override;
    bool write(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t physical(std::uint16_t port) const override;
    int write_errno() const override { return faults_.write_errno; }

    const DeviceFaults &faults() const { return faults_; }
    // For the window title: describe() of the configuration.
    std::string description() const { return describe(config_); }

private:
    DevicePort(const DeviceConfig &config, int fd);
    // Index 0..3 of an allowed register (base, base + 2 of each port), else -1.
    static int slot(std::uint16_t port);
    std::uint16_t reach(int slot) const;
    void refuse(std::uint16_t port, bool writing);
    // Counts a failed access; the fault log reports the first one per register
    // and direction. `err` 0 means the access moved no byte without an error.
    void fail(bool writing, int slot, std::uint16_t port, int err);

    DeviceConfig config_;
    std::string shown_; // printable(config_.device), made once for the fault kinds
    int fd_;
    DeviceFaults faults_;
};

// The registry's opener for the "port" backend: DevicePort::open.
std::unique_ptr<Backend> open_device_port(const DeviceConfig &config, OpenFailure &failure);

} // namespace stelmo::ports::helper
