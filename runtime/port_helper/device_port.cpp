// The hardware backend through /dev/port. The functions that touch the
// hardware are read() and write(): one positioned 1-byte pread/pwrite each.
// Everything else is opening, locking and reporting.
#include "runtime/port_helper/device_port.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/text.h"
#include "runtime/ports/helper_protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace stelmo::ports::helper {

namespace {

const char *errno_text(int err)
{
    return err == 0 ? "short access (no byte transferred)" : std::strerror(err);
}

// The stelmo behind process `pid`: its parent when `pid` is a port helper,
// else `pid` itself, as /proc/<pid>/status says.
long stelmo_of(long pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool helper = false;
    while (std::getline(status, line)) {
        if (line == std::string("Name:\t") + HELPER_NAME)
            helper = true;
        else if (helper && line.rfind("PPid:\t", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return pid;
}

// Locks the bytes of the four registers in `fd` (for /dev/port, the ports
// themselves) for this process: a second stelmo is refused whatever file
// stands in for the device, while one on other ports of the same device is
// not. 0, EBUSY with `holder` when another process holds one, or fcntl's errno.
int lock_registers(int fd, const DeviceConfig &config, long &holder)
{
    for (const std::uint16_t base : config.physical) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = base;
        lock.l_len = PORT_SWITCHES + 1;
        if (::fcntl(fd, F_SETLK, &lock) == 0)
            continue;
        if (errno != EACCES && errno != EAGAIN)
            return errno;
        holder = -1; // unnamed when released meanwhile or in another PID namespace
        if (::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK && lock.l_pid > 0)
            holder = stelmo_of(lock.l_pid);
        return EBUSY;
    }
    return 0;
}

} // namespace

DevicePort::DevicePort(const DeviceConfig &config, int fd)
    : config_(config), shown_(printable(config.device)), fd_(fd)
{
}

DevicePort::~DevicePort()
{
    ::close(fd_);
}

std::unique_ptr<DevicePort> DevicePort::open(const DeviceConfig &config, OpenFailure &failure)
{
    failure = OpenFailure{};
    const int fd = ::open(config.device.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        failure.err = errno;
        return nullptr;
    }
    if (const int err = lock_registers(fd, config, failure.holder)) {
        ::close(fd);
        failure.err = err;
        return nullptr;
    }
    return std::unique_ptr<DevicePort>(new DevicePort(config, fd));
}

int DevicePort::slot(std::uint16_t port)
{
    for (int i = 0; i < 2; ++i) {
        if (port == LOGICAL_BASES[i] + PORT_DATA)
            return 2 * i;
        if (port == LOGICAL_BASES[i] + PORT_SWITCHES)
            return 2 * i + 1;
    }
    return -1;
}

std::uint16_t DevicePort::reach(int slot) const
{
    const std::uint16_t offset = slot % 2 == 0 ? PORT_DATA : PORT_SWITCHES;
    return static_cast<std::uint16_t>(config_.physical[slot / 2] + offset);
}

std::uint16_t DevicePort::physical(std::uint16_t port) const
{
    return physical_port(config_, port);
}

bool DevicePort::read(std::uint16_t port, std::uint8_t &value)
{
    value = PORT_NOTHING;
    const int s = slot(port);
    if (s < 0) {
        refuse(port, false);
        return false;
    }
    std::uint8_t byte = 0;
    ssize_t n;
    do
        n = ::pread(fd_, &byte, 1, reach(s));
    while (n < 0 && errno == EINTR);
    if (n == 1) {
        value = byte;
        return true;
    }
    fail(false, s, port, n < 0 ? errno : 0);
    return false;
}

bool DevicePort::write(std::uint16_t port, std::uint8_t value)
{
    const int s = slot(port);
    if (s < 0) {
        refuse(port, true);
        return false;
    }
    ssize_t n;
    do
        n = ::pwrite(fd_, &value, 1, reach(s));
    while (n < 0 && errno == EINTR);
    if (n == 1)
        return true;
    fail(true, s, port, n < 0 ? errno : 0);
    return false;
}

// Failures are kinds of fault per register and direction, refusals per port:
// the program polls at the tick rate (up to 100 accesses a second), and a line
// per access would bury everything else on stderr. The fault log says the
// first and sums up the rest; the counts here keep them too.
void DevicePort::refuse(std::uint16_t port, bool writing)
{
    ++faults_.refused;
    count_refusal(config_.device, shown_, port, writing);
}

void DevicePort::fail(bool writing, int slot, std::uint16_t port, int err)
{
    ++(writing ? faults_.failed_writes : faults_.failed_reads);
    if (writing)
        faults_.write_errno = err;
    const char *doing = writing ? "writing" : "reading";
    char kind[FAULT_KIND_MAX];
    std::snprintf(kind, sizeof kind, "%s: %s port 0x%03x", shown_.c_str(), doing,
                  static_cast<unsigned>(port));
    diagnostics::fault(kind, [&] {
        std::string where = "port " + port_text(port);
        if (reach(slot) != port)
            where += " (physical " + port_text(reach(slot)) + ")";
        return shown_ + ": " + doing + " " + where + " failed: " + errno_text(err) +
               "; repeats are counted";
    });
}

std::unique_ptr<Backend> open_device_port(const DeviceConfig &config, OpenFailure &failure)
{
    return DevicePort::open(config, failure);
}

} // namespace stelmo::ports::helper
