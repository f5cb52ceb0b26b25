// The port helper. The only place that touches the device is serve(), through
// DevicePort, which reaches nothing but the four registers; everything before
// it decides which device, opens it and gives up the privilege to open another.
#include "runtime/port_helper/port_helper.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/clock/tick_thread.h"
#include "runtime/ports/helper_protocol.h"
#include "runtime/ports/privilege.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <unistd.h>

namespace stelmo::ports::helper {

namespace {

constexpr std::string_view BARE = "port"; // asks for the hardware, says nothing of where

std::string setting_error(std::string_view where, std::string_view setting,
                          const std::string &cause)
{
    return std::string(where) + in_quotes(setting) + ": " + cause;
}

bool same(const DeviceConfig &a, const DeviceConfig &b)
{
    return a.device == b.device && a.physical[0] == b.physical[0] && a.physical[1] == b.physical[1];
}

// fds 0 to 2 open, so that the device never lands on stderr's number.
void standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) < 0)
            ::_exit(2);
}

// True when HELPER_SOCKET is a socket of the engine's kind.
bool connected()
{
    int type = 0;
    socklen_t size = sizeof type;
    return ::getsockopt(HELPER_SOCKET, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
           type == SOCK_SEQPACKET;
}

bool send_hello(bool opened, const DeviceConfig &config, const std::string &text,
                int open_errno = 0)
{
    char message[HELLO_MAX];
    const Hello hello{MAGIC, VERSION, opened, {config.physical[0], config.physical[1]}, open_errno};
    const std::size_t length = std::min(text.size(), sizeof message - sizeof hello);
    std::memcpy(message, &hello, sizeof hello);
    std::memcpy(message + sizeof hello, text.data(), length);
    const std::size_t size = sizeof hello + length;
    return ::send(HELPER_SOCKET, message, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

void count(std::uint32_t &counter)
{
    if (counter != UINT32_MAX)
        ++counter;
}

} // namespace

bool parse_options(int argc, char **argv, Options &options, std::string &error)
{
    options = Options{};
    bool io_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if ((arg == "--io" || arg == "--config") && i + 1 < argc) {
            (arg == "--io" ? options.io : options.config) = argv[++i];
            (arg == "--io" ? io_given : options.config_given) = true;
        } else {
            error = std::string(HELPER_NAME) + ": unknown or incomplete argument " +
                    in_quotes(arg) + "; it takes --io BACKEND and --config PATH";
            return false;
        }
    }
    const char *environment = std::getenv("STELMO_IO");
    if (!io_given && environment)
        options.io = environment;
    return true;
}

bool choose_device(const Options &options, bool secure, DeviceConfig &config, std::string &error)
{
    std::string cause;
    if (!secure && !options.io.empty()) {
        if (parse_device_config(options.io, config, cause))
            return true;
        error = setting_error("--io ", options.io, cause);
        return false;
    }
    const std::string &file = options.config;
    if (secure && options.config_given) {
        error = std::string(HELPER_NAME) + " runs with privileges and reads only " + SYSTEM_CONFIG +
                "; it refuses --config";
        return false;
    }
    ConfFile conf;
    if (!only_root_can_change(file, cause) || !read_conf(file, conf, cause)) {
        error = std::string(HELPER_NAME) + " refuses its configuration: " + cause;
        return false;
    }
    const std::string *io = conf.find("io");
    const std::string setting = io ? *io : std::string(BARE);
    if (!parse_device_config(setting, config, cause)) {
        error = setting_error(printable(file) + ": io=", setting, cause);
        return false;
    }
    DeviceConfig given;
    if (!secure || options.io.empty() || options.io == BARE ||
        (parse_device_config(options.io, given, cause) && same(given, config)))
        return true;
    error = std::string(HELPER_NAME) + " runs with privileges, so the device and port mapping " +
            "come only from " + file + " (" +
            (io ? "there: io=" + printable(*io) : "no io there, so " + describe(config)) +
            "); refusing " + in_quotes(options.io) +
            " from --io, STELMO_IO or the user's stelmo.conf (leave io unset there to use the "
            "system's, or have an administrator change " +
            file + ")";
    return false;
}

int serve(int socket, DevicePort &device)
{
    std::uint32_t failed = 0;  // writes since the last reply that failed
    std::uint32_t refused = 0; // ... and that were refused
    for (;;) {
        // The device's repeated failures, summed up every few seconds; the
        // rest are said when the helper exits.
        diagnostics::flush_repeats();
        Request request{};
        const ssize_t n = ::recv(socket, &request, sizeof request, MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return 0;
        if (n < 0) {
            report(std::string(HELPER_NAME) +
                   ": cannot receive from stelmo: " + std::strerror(errno));
            return 1;
        }
        if (n != sizeof request ||
            (request.op != OP_READ && request.op != OP_WRITE && request.op != OP_SYNC)) {
            report(std::string(HELPER_NAME) + ": malformed request from stelmo (" +
                   std::to_string(n) + " bytes, operation " + std::to_string(request.op) +
                   "); ending without an access");
            return 1;
        }
        const DeviceFaults before = device.faults();
        if (request.op == OP_WRITE) {
            if (!device.write(request.port, request.value))
                count(device.faults().refused != before.refused ? refused : failed);
            continue;
        }
        const auto cause = static_cast<std::uint16_t>(failed ? device.faults().write_errno : 0);
        Reply reply{request.seq, DONE, PORT_NOTHING, cause, failed, refused};
        if (request.op == OP_READ) {
            if (!device.read(request.port, reply.value))
                reply.status = device.faults().refused != before.refused ? REFUSED : FAILED;
        }
        failed = refused = 0;
        if (::send(socket, &reply, sizeof reply, MSG_NOSIGNAL) != sizeof reply) {
            if (errno == EPIPE || errno == ECONNRESET)
                return 0;
            report(std::string(HELPER_NAME) + ": cannot answer stelmo: " + std::strerror(errno));
            return 1;
        }
    }
}

int helper_main(int argc, char **argv)
{
    standard_descriptors();
    if (::close_range(HELPER_SOCKET + 1, ~0U, 0) != 0)
        for (int fd = HELPER_SOCKET + 1; fd < 1024; ++fd)
            ::close(fd);
    // The terminal's signals reach the whole process group; the helper ends
    // when stelmo closes its socket, so stelmo's last writes still land.
    for (const int signal : {SIGINT, SIGQUIT, SIGHUP})
        std::signal(signal, SIG_IGN);

    Options options;
    DeviceConfig config;
    std::string error;
    const bool secure = ::getauxval(AT_SECURE) != 0;
    if (!connected()) {
        // Run by hand: say what is wrong with the configuration, if anything.
        if (parse_options(argc, argv, options, error) &&
            choose_device(options, secure, config, error))
            error = std::string(HELPER_NAME) + ": descriptor " + std::to_string(HELPER_SOCKET) +
                    " is not stelmo's socket; stelmo starts this helper itself";
        report(error);
        return 2;
    }
    // A tick waits for the reply to each read: the helper runs at the tick
    // thread's real-time priority where it may, by root's CAP_SYS_NICE while
    // it still holds it or by an RLIMIT_RTPRIO (limits.d, or the one stelmo
    // raised). Where it may not, it serves at normal priority, unsaid.
    sched_param parameter{};
    parameter.sched_priority = TickThread::PRIORITY;
    ::sched_setscheduler(0, SCHED_FIFO, &parameter);

    std::unique_ptr<DevicePort> device;
    int open_errno = 0;
    if (parse_options(argc, argv, options, error) &&
        choose_device(options, secure, config, error)) {
        device = DevicePort::open(config, open_errno);
        // stelmo words that failure itself, in the operator's language.
        if (!device) {
            send_hello(false, config, config.device, open_errno);
            return 1;
        }
    }
    if (device && !drop_capabilities_for_good(error)) {
        error = printable(config.device) + ": opened, but " + error + "; not serving it";
        device.reset();
    }
    // stelmo reports a failure: one line, as if it had opened the device itself.
    if (!send_hello(device != nullptr, config, device ? config.device : error) || !device)
        return 1;
    return serve(HELPER_SOCKET, *device);
}

} // namespace stelmo::ports::helper
