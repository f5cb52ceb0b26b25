// The hardware backend through /dev/port. The functions that touch the
// hardware are read() and write(): one positioned 1-byte pread/pwrite each.
// Everything else is parsing, opening and reporting.
#include "runtime/ports/port_device.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace stelmo::ports {

namespace {

constexpr std::string_view BACKEND = "port";
// Room for a fault kind: a device name as printable() shows it (at most
// PRINTABLE_MAX characters of up to 4 bytes each) and a few words.
constexpr std::size_t KIND_TEXT = 4 * PRINTABLE_MAX + 64;
constexpr const char *ARROW = "\xe2\x86\x92"; // U+2192 in UTF-8

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%03x", value);
    return text;
}

// A port number in hex with a 0x prefix or in decimal, nothing else around it.
bool parse_number(std::string_view text, unsigned long &value)
{
    int base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return false;
    const char *end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value, base);
    return ec == std::errc() && stop == end;
}

// Parses one LOGICAL=PHYSICAL item into `config`; `seen` tracks mapped bases.
bool parse_mapping(std::string_view item, DeviceConfig &config, bool (&seen)[2], std::string &cause)
{
    const std::size_t equals = item.find('=');
    if (item.empty()) {
        cause = tr_text("Ports", "empty mapping");
        return false;
    }
    if (equals == std::string_view::npos) {
        cause = fill_in(tr_text("Ports", "missing =PHYSICAL after %1"), in_quotes(item));
        return false;
    }
    const std::string_view logical_text = item.substr(0, equals);
    const std::string_view physical_text = item.substr(equals + 1);
    unsigned long logical = 0;
    unsigned long physical = 0;
    if (!parse_number(logical_text, logical)) {
        cause = fill_in(tr_text("Ports", "%1 is not a port number"), in_quotes(logical_text));
        return false;
    }
    if (physical_text.empty()) {
        cause = fill_in(tr_text("Ports", "missing =PHYSICAL after %1"), in_quotes(logical_text));
        return false;
    }
    if (!parse_number(physical_text, physical)) {
        cause = fill_in(tr_text("Ports", "%1 is not a port number"), in_quotes(physical_text));
        return false;
    }
    int index = -1;
    for (int i = 0; i < 2; ++i)
        if (logical == LOGICAL_BASES[i])
            index = i;
    if (index < 0) {
        cause = fill_in(tr_text("Ports", "%1 is not a port base the program uses"),
                        in_quotes(logical_text));
        return false;
    }
    if (seen[index]) {
        cause = fill_in(tr_text("Ports", "%1 is mapped twice"), hex(LOGICAL_BASES[index]));
        return false;
    }
    if (physical > PHYSICAL_BASE_MAX) {
        cause =
            fill_in(tr_text("Ports", "physical base %1 is above %2 (base + 2 must be a port too)"),
                    in_quotes(physical_text), hex(PHYSICAL_BASE_MAX));
        return false;
    }
    seen[index] = true;
    config.physical[index] = static_cast<std::uint16_t>(physical);
    return true;
}

const char *errno_text(int err)
{
    return err == 0 ? "short access (no byte transferred)" : std::strerror(err);
}

// Path of this program, for the setcap hint.
std::string executable()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "PROGRAM";
    return std::string(path, static_cast<std::size_t>(n));
}

} // namespace

bool parse_device_config(std::string_view value, DeviceConfig &config, std::string &cause)
{
    config = DeviceConfig{};
    if (value.substr(0, BACKEND.size()) != BACKEND ||
        (value.size() > BACKEND.size() && value[BACKEND.size()] != ':' &&
         value[BACKEND.size()] != ',')) {
        cause = tr_text("Ports", "unknown port backend");
        return false;
    }
    value.remove_prefix(BACKEND.size());

    // ":DEVICE" runs up to the first comma.
    if (!value.empty() && value.front() == ':') {
        value.remove_prefix(1);
        const std::size_t comma = value.find(',');
        const std::string_view device = value.substr(0, comma);
        if (device.empty()) {
            cause = tr_text("Ports", "empty device name");
            return false;
        }
        config.device = std::string(device);
        value.remove_prefix(device.size());
    }

    bool seen[2] = {false, false};
    while (!value.empty()) {
        value.remove_prefix(1); // the comma
        const std::size_t comma = value.find(',');
        const std::string_view item = value.substr(0, comma);
        if (!parse_mapping(item, config, seen, cause))
            return false;
        value.remove_prefix(item.size());
    }

    // The two bases must reach registers of their own. On the same base the
    // program would drive one set of phases from two ports; 2 apart, one
    // base's data register is the other's switch register, and the program
    // would write patterns into a register it expects to read.
    const int apart = config.physical[0] - config.physical[1];
    if (apart == 0) {
        cause = fill_in(tr_text("Ports", "%1 and %2 would both reach the port at %3"),
                        hex(LOGICAL_BASES[0]), hex(LOGICAL_BASES[1]), hex(config.physical[0]));
        return false;
    }
    if (apart == PORT_SWITCHES || apart == -PORT_SWITCHES) {
        cause = fill_in(tr_text("Ports", "bases %1 and %2 overlap (one's data register is the "
                                         "other's switch register)"),
                        hex(config.physical[0]), hex(config.physical[1]));
        return false;
    }
    return true;
}

bool lockdown_active(const char *lockdown_file, std::string *mode)
{
    const int fd = ::open(lockdown_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[256];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    const std::string_view shown(text, static_cast<std::size_t>(n));
    const std::size_t open = shown.find('[');
    const std::size_t close = shown.find(']', open);
    if (open == std::string_view::npos || close == std::string_view::npos)
        return false;
    const std::string_view active = shown.substr(open + 1, close - open - 1);
    if (mode)
        *mode = std::string(active);
    return active != "none";
}

std::string open_failure(const std::string &device, int err, const char *lockdown_file,
                         const char *binary)
{
    const std::string shown = printable(device);
    const std::string line =
        fill_in(tr_text("Ports", "cannot open %1: %2"), shown, std::strerror(err));
    std::string hint;
    std::string mode;
    if ((err == EPERM || err == EACCES) && lockdown_active(lockdown_file, &mode)) {
        hint =
            fill_in(tr_text("Ports", "the kernel is in lockdown (%1, usually because of Secure "
                                     "Boot), which forbids port access through %2 even for root"),
                    printable(mode), shown);
    } else if (err == EPERM || err == EACCES) {
        hint =
            fill_in(tr_text("Ports", "run as root or give the binary cap_sys_rawio (setcap "
                                     "cap_sys_rawio+ep %1) and the user read-write access to %2"),
                    printable(binary ? std::string(binary) : executable()), shown);
    } else if (err == ENOENT && device == PORT_DEVICE) {
        hint =
            tr_text("Ports", "this kernel has no /dev/port (it was built without CONFIG_DEVPORT)");
    } else if (err == ENOENT) {
        hint = tr_text("Ports", "the device does not exist");
    }
    return hint.empty() ? line : line + "; " + hint;
}

bool program_register(std::uint16_t port)
{
    for (const std::uint16_t base : LOGICAL_BASES)
        if (port == base + PORT_DATA || port == base + PORT_SWITCHES)
            return true;
    return false;
}

std::uint16_t physical_port(const DeviceConfig &config, std::uint16_t port)
{
    for (int i = 0; i < 2; ++i)
        if (port == LOGICAL_BASES[i] + PORT_DATA || port == LOGICAL_BASES[i] + PORT_SWITCHES)
            return static_cast<std::uint16_t>(config.physical[i] + (port - LOGICAL_BASES[i]));
    return port;
}

std::string describe_mapping(const DeviceConfig &config)
{
    std::string mappings;
    for (int i = 0; i < 2; ++i) {
        if (config.physical[i] == LOGICAL_BASES[i])
            continue;
        if (!mappings.empty())
            mappings += ", ";
        mappings += hex(LOGICAL_BASES[i]) + ARROW + hex(config.physical[i]);
    }
    return mappings;
}

std::string describe(const DeviceConfig &config)
{
    std::string text = printable(config.device);
    if (const std::string mappings = describe_mapping(config); !mappings.empty())
        text += " (" + mappings + ")";
    return text;
}

void describe_device(const DeviceConfig &config, Setup &setup)
{
    setup.description = describe(config);
    setup.device = printable(config.device);
    setup.mapping = describe_mapping(config);
}

std::string refusal_message(const std::string &device, std::uint16_t port)
{
    return fill_in(
        tr_text("Ports", "%1: port %2 is not a register the program drives; access refused"),
        printable(device), hex(port));
}

void count_refusal(const std::string &device, const std::string &shown, std::uint16_t port)
{
    char kind[KIND_TEXT];
    std::snprintf(kind, sizeof kind, "%s: port 0x%03x: access refused", shown.c_str(),
                  static_cast<unsigned>(port));
    diagnostics::fault(kind, [&] { return refusal_message(device, port); });
}

DevicePort::DevicePort(const DeviceConfig &config, int fd)
    : config_(config), shown_(printable(config.device)), fd_(fd)
{
}

DevicePort::~DevicePort()
{
    ::close(fd_);
}

std::unique_ptr<DevicePort> DevicePort::open(const DeviceConfig &config, std::string &error,
                                             const char *lockdown_file)
{
    int err = 0;
    auto device = open(config, err);
    if (!device)
        error = open_failure(config.device, err, lockdown_file);
    return device;
}

std::unique_ptr<DevicePort> DevicePort::open(const DeviceConfig &config, int &err)
{
    const int fd = ::open(config.device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
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
        refuse(port);
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
        refuse(port);
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
void DevicePort::refuse(std::uint16_t port)
{
    ++faults_.refused;
    count_refusal(config_.device, shown_, port);
}

void DevicePort::fail(bool writing, int slot, std::uint16_t port, int err)
{
    ++(writing ? faults_.failed_writes : faults_.failed_reads);
    if (writing)
        faults_.write_errno = err;
    const char *doing = writing ? "writing" : "reading";
    char kind[KIND_TEXT];
    std::snprintf(kind, sizeof kind, "%s: %s port 0x%03x", shown_.c_str(), doing,
                  static_cast<unsigned>(port));
    diagnostics::fault(kind, [&] {
        std::string where = "port " + hex(port);
        if (reach(slot) != port)
            where += " (physical " + hex(reach(slot)) + ")";
        return shown_ + ": " + doing + " " + where + " failed: " + errno_text(err) +
               "; repeats are counted";
    });
}

bool check_device_port(std::string_view value, std::string &cause)
{
    DeviceConfig config;
    return parse_device_config(value, config, cause);
}

Opened open_device_port(std::string_view value, Setup &setup, std::string &error)
{
    DeviceConfig config;
    if (!parse_device_config(value, config, error))
        return Opened::bad_value;
    auto device = DevicePort::open(config, error);
    if (!device)
        return Opened::failed;
    describe_device(device->config(), setup);
    setup.backend = std::move(device);
    return Opened::ok;
}

} // namespace stelmo::ports
