// The port helper. The only place that touches the device is serve(), through
// the backend the registry chose, behind the allow-list; everything before it
// decides which backend and device, opens it and gives up the privilege to
// open another.
#include "runtime/port_helper/port_helper.h"

#include "runtime/base/descriptors.h"
#include "runtime/base/realtime_policy.h"
#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/port_helper/device_port.h"
#include "runtime/ports/helper_protocol.h"
#include "runtime/ports/privilege.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <unistd.h>

namespace stelmo::ports::helper {

namespace {

// --- the registry -------------------------------------------------------------
// A new backend is a file that defines its parse and open functions, and one
// line here; stelmo's own registry (ports.cpp) names the same prefix with
// open_helper_backend. The first entry is the default.
constexpr ServedBackend BACKENDS[] = {
    {"port", &parse_device_config, &open_device_port},
};

constexpr std::string_view BARE = "port"; // asks for the hardware, says nothing of where

std::string setting_error(std::string_view where, std::string_view setting,
                          const std::string &cause)
{
    return std::string(where) + in_quotes(setting) + ": " + cause;
}

// The entry of `registry` that `value` names, then its parse of `value`.
const ServedBackend *parse(std::span<const ServedBackend> registry, std::string_view value,
                           DeviceConfig &config, std::string &cause)
{
    for (const ServedBackend &type : registry)
        if (names_backend(value, type.prefix))
            return type.parse(value, config, cause) ? &type : nullptr;
    cause = tr_text("Ports", "unknown port backend");
    return nullptr;
}

// The refusal of a given setting that differs from the system file's.
std::string not_the_system_setting(const Options &options, const std::string *io,
                                   const DeviceConfig &config)
{
    const std::string &file = options.config;
    return std::string(HELPER_NAME) + " runs with privileges, so the device and port mapping " +
           "come only from " + file + " (" +
           (io ? "there: io=" + printable(*io) : "no io there, so " + describe(config)) +
           "); refusing " + in_quotes(options.io) +
           " from --io, STELMO_IO or the user's stelmo.conf (leave io unset there to use the "
           "system's, or have an administrator change " +
           file + ")";
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
                const OpenFailure &failure = {})
{
    char message[HELLO_MAX];
    const Hello hello{MAGIC,       VERSION,
                      opened,      {config.physical[0], config.physical[1]},
                      failure.err, static_cast<std::int32_t>(failure.holder)};
    const std::size_t length = std::min(text.size(), sizeof message - sizeof hello);
    std::memcpy(message, &hello, sizeof hello);
    std::memcpy(message + sizeof hello, text.data(), length);
    const std::size_t size = sizeof hello + length;
    return ::send(HELPER_SOCKET, message, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

// Opens what the settings choose, then gives up every capability; null with
// the Hello already sent when that fails.
std::unique_ptr<Backend> open_backend(int argc, char **argv,
                                      std::span<const ServedBackend> registry, DeviceConfig &config)
{
    Options options;
    std::string error;
    const ServedBackend *type = nullptr;
    if (!parse_options(argc, argv, options, error) ||
        !(type = choose_device(options, ::getauxval(AT_SECURE) != 0, config, error, registry))) {
        send_hello(false, config, error);
        return nullptr;
    }
    OpenFailure failure;
    std::unique_ptr<Backend> backend = type->open(config, failure);
    // stelmo words that failure itself, in the operator's language.
    if (!backend) {
        send_hello(false, config, config.device, failure);
        return nullptr;
    }
    if (!drop_capabilities_for_good(error)) {
        send_hello(false, config,
                   printable(config.device) + ": opened, but " + error + "; not serving it");
        return nullptr;
    }
    return backend;
}

} // namespace

std::span<const ServedBackend> served_backends()
{
    return BACKENDS;
}

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

const ServedBackend *choose_device(const Options &options, bool secure, DeviceConfig &config,
                                   std::string &error, std::span<const ServedBackend> registry)
{
    std::string cause;
    if (!secure && !options.io.empty()) {
        if (const ServedBackend *type = parse(registry, options.io, config, cause))
            return type;
        error = setting_error("--io ", options.io, cause);
        return nullptr;
    }
    const std::string &file = options.config;
    if (secure && options.config_given) {
        error = std::string(HELPER_NAME) + " runs with privileges and reads only " + SYSTEM_CONFIG +
                "; it refuses --config";
        return nullptr;
    }
    ConfFile conf;
    if (!read_trusted_conf(file, conf, cause)) {
        error = std::string(HELPER_NAME) + " refuses its configuration: " + cause;
        return nullptr;
    }
    const std::string *io = conf.find("io");
    if (io && io->empty())
        io = nullptr; // an empty value is not set, as everywhere
    const std::string setting = io ? *io : std::string(BARE);
    const ServedBackend *type = parse(registry, setting, config, cause);
    if (!type) {
        error = setting_error(printable(file) + ": io=", setting, cause);
        return nullptr;
    }
    DeviceConfig given;
    if (!secure || options.io.empty() || options.io == BARE ||
        (parse(registry, options.io, given, cause) == type && given == config))
        return type;
    error = not_the_system_setting(options, io, config);
    return nullptr;
}

int run(int argc, char **argv, std::span<const ServedBackend> registry)
{
    if (open_standard_descriptors() != 0)
        return 2;
    ::closefrom(HELPER_SOCKET + 1);
    // The terminal's signals reach the whole process group; the helper ends
    // when stelmo closes its socket, so stelmo's last writes still land.
    for (const int signal : {SIGINT, SIGQUIT, SIGHUP})
        std::signal(signal, SIG_IGN);

    DeviceConfig config;
    if (!connected()) {
        // Run by hand: say what is wrong with the configuration, if anything.
        Options options;
        std::string error;
        if (parse_options(argc, argv, options, error) &&
            choose_device(options, ::getauxval(AT_SECURE) != 0, config, error, registry))
            error = std::string(HELPER_NAME) + ": descriptor " + std::to_string(HELPER_SOCKET) +
                    " is not stelmo's socket; stelmo starts this helper itself";
        report(error);
        return 2;
    }
    // A tick waits for the reply to each read: the helper runs at the tick
    // thread's real-time priority where it may, by root's CAP_SYS_NICE while
    // it still holds it or by an RLIMIT_RTPRIO (limits.d, or the one stelmo
    // raised). Where it may not, it serves at normal priority, unsaid.
    realtime::make_thread_realtime(::pthread_self());

    const std::unique_ptr<Backend> backend = open_backend(argc, argv, registry, config);
    if (!backend || !send_hello(true, config, config.device))
        return 1;
    return serve(HELPER_SOCKET, *backend, config.device);
}

int helper_main(int argc, char **argv)
{
    return run(argc, argv, served_backends());
}

} // namespace stelmo::ports::helper
