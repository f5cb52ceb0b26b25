// The D-Bus wire protocol, as little of it as the probe needs: the EXTERNAL
// authentication of the peer's credentials, method calls with string
// arguments, and the replies' type, reply serial and first value, in either
// byte order. The socket is non-blocking; every wait is a poll() bounded by
// the deadline.
#include "runtime/base/bus_probe.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace stelmo::bus {

namespace {

constexpr std::uint8_t METHOD_CALL = 1;
constexpr std::uint8_t METHOD_RETURN = 2;
constexpr std::uint8_t ERROR = 3;
constexpr std::uint8_t NO_AUTO_START = 0x2;
constexpr std::uint8_t FIELD_PATH = 1, FIELD_INTERFACE = 2, FIELD_MEMBER = 3,
                       FIELD_REPLY_SERIAL = 5, FIELD_DESTINATION = 6, FIELD_SIGNATURE = 8;
constexpr std::size_t MESSAGE_MAX = 64 * 1024; // replies to the probe's calls are small

void pad(std::string &out, std::size_t to)
{
    while (out.size() % to != 0)
        out += '\0';
}

void put_u32(std::string &out, std::uint32_t value)
{
    pad(out, 4);
    out.append(reinterpret_cast<const char *>(&value), 4); // little-endian, as 'l' says
}

void put_string(std::string &out, std::string_view text)
{
    put_u32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
    out += '\0';
}

// A header field: its code, then a variant of one basic type.
void put_field(std::string &out, std::uint8_t code, char type, std::string_view value)
{
    pad(out, 8);
    out += static_cast<char>(code);
    out += '\1';
    out += type;
    out += '\0';
    if (type == 'g') {
        out += static_cast<char>(value.size());
        out += value;
        out += '\0';
    } else {
        put_string(out, value);
    }
}

std::uint32_t get_u32(const std::string &in, std::size_t at, bool big)
{
    std::uint8_t b[4] = {};
    if (at + 4 <= in.size())
        std::memcpy(b, in.data() + at, 4);
    return big ? (std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
                  b[3])
               : (std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 |
                  b[0]);
}

// `value` of a D-Bus address with its %XX escapes undone.
std::string unescaped(std::string_view value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            out += static_cast<char>(
                std::strtol(std::string(value.substr(i + 1, 2)).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

// Waits for `events` on the socket until the deadline.
bool ready(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

std::string session_address()
{
    if (const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return std::string_view(address) == NO_BUS ? std::string() : std::string(address);
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!runtime || !*runtime)
        return {};
    const std::string socket = std::string(runtime) + "/bus";
    return ::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) ? "unix:path=" + socket
                                                                    : std::string();
}

std::string system_address()
{
    const char *address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : "unix:path=/var/run/dbus/system_bus_socket";
}

bool silent(std::string_view address, int wait_ms)
{
    return Probe(address, Clock::now() + std::chrono::milliseconds(wait_ms)).silent();
}

Probe::Probe(std::string_view address, Clock::time_point deadline) : deadline_(deadline)
{
    while (fd_ < 0 && !address.empty()) {
        const std::size_t end = std::min(address.find(';'), address.size());
        const std::string_view one = address.substr(0, end);
        address.remove_prefix(std::min(end + 1, address.size()));
        if (!connect_to(one))
            continue; // the next address, as the D-Bus library does
        connected_ = true;
        std::string reply;
        bool failed = false;
        bool greeted = authenticate() && call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "Hello", {}, reply, failed);
        if (greeted && failed)
            greeted = fail("it refused Hello");
        if (!greeted) {
            ::close(fd_);
            fd_ = -1;
            return; // took the connection, then did not answer: no other is tried
        }
    }
    if (fd_ < 0 && why_.empty())
        why_ = "no address to connect to";
}

Probe::~Probe()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Probe::fail(std::string why)
{
    why_ = std::move(why);
    return false;
}

bool Probe::connect_to(std::string_view address)
{
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    socklen_t length = 0;
    const std::size_t colon = address.find(':');
    if (colon == std::string_view::npos || address.substr(0, colon) != "unix")
        return fail("not a Unix-domain address: " + std::string(address.substr(0, colon)));
    for (std::string_view keys = address.substr(colon + 1); !keys.empty();) {
        const std::size_t comma = std::min(keys.find(','), keys.size());
        const std::string_view key = keys.substr(0, comma);
        keys.remove_prefix(std::min(comma + 1, keys.size()));
        const bool abstract = key.rfind("abstract=", 0) == 0;
        if (!abstract && key.rfind("path=", 0) != 0)
            continue;
        const std::string name = unescaped(key.substr(key.find('=') + 1));
        if (name.size() + 1 >= sizeof where.sun_path)
            return fail("socket name too long");
        std::memcpy(where.sun_path + (abstract ? 1 : 0), name.data(), name.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                        (abstract ? 1 : 0));
    }
    if (length == 0)
        return fail("no socket in the address");
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return fail(std::strerror(errno));
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&where), length) != 0 && errno != EINPROGRESS &&
        errno != EAGAIN) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        return fail(std::strerror(err));
    }
    return true;
}

bool Probe::send_all(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!ready(fd_, POLLOUT, deadline_))
                return fail("it took no request in time");
        } else {
            return fail(n < 0 ? std::strerror(errno) : "the connection closed");
        }
    }
    return true;
}

// Moves `size` bytes (0: up to a newline) from the socket to `bytes`.
bool Probe::receive(std::string &bytes, std::size_t size)
{
    for (;;) {
        const std::size_t line = size == 0 ? pending_.find('\n') : std::string::npos;
        if (line != std::string::npos || (size > 0 && pending_.size() >= size)) {
            const std::size_t take = line != std::string::npos ? line + 1 : size;
            bytes = pending_.substr(0, take);
            pending_.erase(0, take);
            return true;
        }
        if (pending_.size() > MESSAGE_MAX)
            return fail("it answered more than a probe asks for");
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0)
            pending_.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!ready(fd_, POLLIN, deadline_))
                return fail("it did not answer in time");
        } else
            return fail(n < 0 ? std::strerror(errno) : "it closed the connection");
    }
}

bool Probe::authenticate()
{
    if (!ready(fd_, POLLOUT, deadline_))
        return fail("it took no connection in time");
    std::string uid = std::to_string(::getuid()), hex;
    for (const char c : uid) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[(c >> 4) & 0xF];
        hex += digits[c & 0xF];
    }
    std::string answer;
    if (!send_all(std::string("\0AUTH EXTERNAL ", 15) + hex + "\r\n") || !receive(answer, 0))
        return false;
    if (answer.rfind("OK ", 0) != 0)
        return fail("it refused the credentials");
    return send_all("BEGIN\r\n");
}

bool Probe::call(const char *destination, const char *path, const char *interface,
                 const char *member, std::initializer_list<std::string_view> arguments,
                 std::string &reply, bool &failed)
{
    std::string body;
    for (const std::string_view argument : arguments)
        put_string(body, argument);
    std::string message = {'l', static_cast<char>(METHOD_CALL), static_cast<char>(NO_AUTO_START),
                           1};
    put_u32(message, static_cast<std::uint32_t>(body.size()));
    put_u32(message, ++serial_);
    std::string fields;
    put_field(fields, FIELD_PATH, 'o', path);
    put_field(fields, FIELD_INTERFACE, 's', interface);
    put_field(fields, FIELD_MEMBER, 's', member);
    put_field(fields, FIELD_DESTINATION, 's', destination);
    if (arguments.size() > 0)
        put_field(fields, FIELD_SIGNATURE, 'g', std::string(arguments.size(), 's'));
    put_u32(message, static_cast<std::uint32_t>(fields.size()));
    message += fields; // the header so far is 16 bytes: fields stay aligned to 8
    pad(message, 8);
    message += body;
    return send_all(message) && take_reply(serial_, reply, failed);
}

// Reads messages until the reply to `serial` (signals such as NameAcquired
// come in between).
bool Probe::take_reply(std::uint32_t serial, std::string &reply, bool &failed)
{
    for (;;) {
        std::string head;
        if (!receive(head, 16))
            return false;
        const bool big = head[0] == 'B';
        const std::size_t fields = get_u32(head, 12, big);
        const std::size_t body = get_u32(head, 4, big);
        if (fields > MESSAGE_MAX || body > MESSAGE_MAX)
            return fail("it answered something that is no D-Bus message");
        std::string rest;
        if (!receive(rest, (16 + fields + 7) / 8 * 8 - 16 + body))
            return false;
        const std::string all = head + rest;
        std::uint32_t replying_to = 0;
        for (std::size_t at = 16; at + 4 <= 16 + fields; at = (at + 7) / 8 * 8) {
            const std::uint8_t code = static_cast<std::uint8_t>(all[at]);
            const std::size_t signature = static_cast<std::uint8_t>(all[at + 1]);
            std::size_t value = at + 2 + signature + 1;
            const char type = signature > 0 ? all[at + 2] : '\0';
            if (type == 'u' || type == 's' || type == 'o')
                value = (value + 3) / 4 * 4;
            if (code == FIELD_REPLY_SERIAL && type == 'u')
                replying_to = get_u32(all, value, big);
            at = type == 'g'   ? value + 1 + static_cast<std::uint8_t>(all[value]) + 1
                 : type == 'u' ? value + 4
                               : value + 4 + get_u32(all, value, big) + 1;
        }
        const std::uint8_t type = static_cast<std::uint8_t>(head[1]);
        if ((type == METHOD_RETURN || type == ERROR) && replying_to == serial) {
            failed = type == ERROR;
            reply = all.substr(all.size() - body); // the host's byte order, as the bus's
            return true;
        }
    }
}

bool Probe::as_bool(const std::string &reply)
{
    return get_u32(reply, 0, false) != 0;
}

bool Probe::as_variant_bool(const std::string &reply)
{
    // Signature "b" (length, 'b', nul), then the boolean aligned to 4.
    return reply.size() >= 8 && reply[0] == 1 && reply[1] == 'b' && get_u32(reply, 4, false) != 0;
}

std::string Probe::as_string(const std::string &reply)
{
    const std::size_t length = get_u32(reply, 0, false);
    return length + 4 <= reply.size() ? reply.substr(4, length) : std::string();
}

} // namespace stelmo::bus
