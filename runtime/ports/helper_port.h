// The hardware backend through the port helper stelmo-port: the helper holds
// the device and the privilege to open it; this process holds neither and
// forwards each access over a socket (see helper_protocol.h).
#pragma once

#include "runtime/ports/helper_protocol.h"
#include "runtime/ports/port_device.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace stelmo::ports {

// How long stelmo waits for the helper to open the device, and for any reply.
constexpr std::chrono::seconds HELPER_START_TIMEOUT{5};
constexpr std::chrono::seconds HELPER_REPLY_TIMEOUT{1};

class HelperPort : public Backend {
public:
    // Starts the helper at `helper` for `io` (port[:DEVICE][,...]) and
    // waits until it has opened the device. Null with `error` set to one line
    // (the helper's reason, e.g. the device and why it cannot be opened).
    static std::unique_ptr<HelperPort> start(const std::string &helper, std::string_view io,
                                             std::string &error);
    // Closes the socket, so the helper ends; kills it if it does not.
    ~HelperPort() override;

    HelperPort(const HelperPort &) = delete;
    HelperPort &operator=(const HelperPort &) = delete;

    // One round trip. False (and 0xFF) when the read failed, was refused or
    // the helper is lost. Only the switch registers are read.
    bool read(std::uint16_t port, std::uint8_t &value) override;
    // Sent without waiting; false at once for a port other than a data
    // register or a lost helper. A failure in the device is reported by the
    // helper and counted when the next reply brings it.
    bool write(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t physical(std::uint16_t port) const override;
    // Writes that a reply says failed are reported through `report`.
    void watch_late_failures(LateFailures report, void *context) override;

    // Collects the results of the writes sent since the last reply; false
    // when the helper is lost.
    bool sync();
    // Failed and refused accesses, as far as the replies have told so far.
    const DeviceFaults &faults() const { return faults_; }
    // For the window title: the device and the mappings that move a base.
    std::string description() const { return describe(config_); }
    // What the helper opened: the device and the mapping.
    const DeviceConfig &config() const { return config_; }
    // The helper's process id, 0 once it is gone.
    pid_t helper_pid() const { return pid_; }

private:
    HelperPort(std::string helper, int socket, pid_t pid);
    // Waits for the helper's Hello; false with `error` when it did not open.
    bool hello(std::string &error);
    // Whether the Hello `head` with `text` is one this stelmo speaks; else `error`.
    bool understood(const helper::Hello &head, std::string_view text, std::string &error) const;
    // The line for a Hello that says the device was not opened.
    std::string why_not_opened(const helper::Hello &head, std::string_view text) const;
    // Sends a read or a sync and takes its reply; false when the helper is lost.
    bool ask(std::uint8_t op, std::uint16_t port, std::uint8_t &status, std::uint8_t &value);
    bool send_request(std::uint8_t op, std::uint16_t port, std::uint8_t value);
    // Gives up on the helper: reports `why` once, ends and reaps the process.
    void lose(const std::string &why, bool kill_first);
    // How the helper ended, after waiting up to `wait` for it (killed after that).
    std::string reap(std::chrono::milliseconds wait);
    void refuse(std::uint16_t port, bool writing);

    std::string helper_;    // path of the helper executable
    int socket_;            // -1 once the helper is lost
    pid_t pid_;             // 0 once reaped
    std::uint32_t seq_ = 0; // of the last request sent
    DeviceConfig config_;   // what the helper opened
    std::string shown_;     // printable(config_.device), for the fault kinds
    DeviceFaults faults_;
    LateFailures late_ = nullptr; // told of writes that a reply says failed
    void *late_context_ = nullptr;
    std::uint16_t written_ = 0; // the port of the last write sent
};

// Where stelmo-port is: next to this executable, else in
// <its directory>/../libexec/stelmo/. Never searched in PATH. Empty with
// `error` set when neither holds a regular file.
std::string find_helper(std::string &error);

// The hardware backend through the helper found by find_helper(), for an
// io setting such as "port" or "port:/dev/port,0x378=0xd010". Null with `error`
// set to one line (without "stelmo: ") when it cannot start or open the device.
std::unique_ptr<HelperPort> open_helper_port(std::string_view io, std::string &error);

// The registry's opener for STELMO_IO=port...: checks the value, then
// open_helper_port().
Opened open_helper_backend(std::string_view value, Setup &setup, std::string &error);

} // namespace stelmo::ports
