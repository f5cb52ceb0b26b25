// Starting the port helper and forwarding accesses to it. A tick costs one
// round trip: the read waits for its reply, the write that follows does not.
#include "runtime/ports/helper_port.h"

#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/ports/helper_protocol.h"
#include "runtime/ports/loss.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace stelmo::ports {

using namespace helper;

namespace {

void set_timeouts(int socket, std::chrono::seconds timeout)
{
    const timeval tv{static_cast<time_t>(timeout.count()), 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// In the child between fork and exec: only async-signal-safe calls. A failed
// exec is told to the parent as the bare errno on the socket.
[[noreturn]] void exec_helper(int end, char *const argv[])
{
    if (end == HELPER_SOCKET ? ::fcntl(end, F_SETFD, 0) != 0 : ::dup2(end, HELPER_SOCKET) < 0)
        ::_exit(127);
    if (::close_range(HELPER_SOCKET + 1, ~0U, 0) != 0)
        for (int fd = HELPER_SOCKET + 1; fd < 1024; ++fd)
            ::close(fd);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv, environ);
    const int err = errno;
    ::send(HELPER_SOCKET, &err, sizeof err, MSG_NOSIGNAL);
    ::_exit(127);
}

// Why the helper at `helper` could not be started (errno `err`). A helper
// only its group may run refuses everybody else with EACCES: that names the
// group.
std::string cannot_start(const std::string &shown, int err)
{
    return fill_in(tr_text("PortHelper", "cannot start the port helper %1: %2"), shown,
                   std::strerror(err));
}

std::string start_failure(const std::string &helper, int err)
{
    const std::string line = cannot_start(printable(helper), err);
    struct stat st {};
    if (err != EACCES || ::stat(helper.c_str(), &st) != 0 || !(st.st_mode & S_IXGRP) ||
        (st.st_mode & S_IXOTH))
        return line;
    const group *owner = ::getgrgid(st.st_gid);
    const std::string name = owner ? printable(owner->gr_name) : std::to_string(st.st_gid);
    return line + "; " +
           fill_in(tr_text("PortHelper",
                           "only members of group %1 may drive hardware (an "
                           "administrator adds an operator with: adduser OPERATOR %1; "
                           "the operator then logs in again)"),
                   name);
}

bool printable_line(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

} // namespace

HelperPort::HelperPort(std::string helper, int socket, pid_t pid)
    : helper_(std::move(helper)), socket_(socket), pid_(pid)
{
}

HelperPort::~HelperPort()
{
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
    reap(HELPER_REPLY_TIMEOUT);
}

std::unique_ptr<HelperPort> HelperPort::start(const std::string &helper, std::string_view io,
                                              std::string &error)
{
    const std::string shown = printable(helper);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        error = cannot_start(shown, errno);
        return nullptr;
    }
    std::string path = helper;
    std::string option = "--io";
    std::string setting(io);
    char *argv[] = {path.data(), option.data(), setting.data(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0)
        exec_helper(ends[1], argv);
    const int err = errno;
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        error = cannot_start(shown, err);
        return nullptr;
    }
    std::unique_ptr<HelperPort> port(new HelperPort(helper, ends[0], pid));
    if (!port->hello(error))
        return nullptr; // the destructor ends and reaps the helper
    return port;
}

bool HelperPort::hello(std::string &error)
{
    const std::string shown = printable(helper_);
    set_timeouts(socket_, HELPER_START_TIMEOUT);
    char message[HELLO_MAX];
    ssize_t n;
    do
        n = ::recv(socket_, message, sizeof message, MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n == EXEC_FAILED_SIZE) {
        int err = 0;
        std::memcpy(&err, message, sizeof err);
        error = start_failure(helper_, err);
        return false;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        ::kill(pid_, SIGKILL);
        error = fill_in(tr_text("PortHelper", "the port helper %1 did not answer within %2 s"),
                        shown, HELPER_START_TIMEOUT.count());
        return false;
    }
    if (n <= 0) {
        error = fill_in(tr_text("PortHelper", "the port helper %1 %2 before it answered"), shown,
                        reap(HELPER_REPLY_TIMEOUT));
        return false;
    }
    Hello head{}; // magic 0 unless a greeting of a possible size came
    std::string_view text;
    if (n >= static_cast<ssize_t>(sizeof head) && n <= static_cast<ssize_t>(sizeof message)) {
        std::memcpy(&head, message, sizeof head);
        text = std::string_view(message + sizeof head, static_cast<std::size_t>(n) - sizeof head);
    }
    if (head.magic != MAGIC || !printable_line(text)) {
        error = fill_in(
            tr_text("PortHelper",
                    "the port helper %1 answered with something stelmo does not understand"),
            shown);
        return false;
    }
    if (head.version != VERSION) {
        error = fill_in(tr_text("PortHelper", "the port helper %1 speaks protocol version %2, this "
                                              "stelmo %3; install a matching stelmo-port"),
                        shown, head.version, VERSION);
        return false;
    }
    if (!head.opened && head.open_errno != 0) {
        error = open_failure(std::string(text), head.open_errno, LOCKDOWN_FILE, helper_.c_str());
        return false;
    }
    if (!head.opened) {
        error = text.empty()
                    ? fill_in(tr_text("PortHelper", "the port helper %1 failed without saying why"),
                              shown)
                    : std::string(text);
        return false;
    }
    config_.device = text;
    shown_ = printable(config_.device);
    config_.physical[0] = head.physical[0];
    config_.physical[1] = head.physical[1];
    set_timeouts(socket_, HELPER_REPLY_TIMEOUT);
    return true;
}

std::uint16_t HelperPort::physical(std::uint16_t port) const
{
    return physical_port(config_, port);
}

bool HelperPort::read(std::uint16_t port, std::uint8_t &value)
{
    value = PORT_NOTHING;
    if (!program_register(port)) {
        refuse(port);
        return false;
    }
    std::uint8_t status = FAILED;
    if (!ask(OP_READ, port, status, value) || status == FAILED) {
        ++faults_.failed_reads;
        value = PORT_NOTHING;
        return false;
    }
    if (status == REFUSED) {
        ++faults_.refused;
        return false;
    }
    return true;
}

bool HelperPort::write(std::uint16_t port, std::uint8_t value)
{
    if (!program_register(port)) {
        refuse(port);
        return false;
    }
    if (send_request(OP_WRITE, port, value))
        return true;
    ++faults_.failed_writes;
    return false;
}

bool HelperPort::sync()
{
    std::uint8_t status = 0;
    std::uint8_t value = 0;
    return ask(OP_SYNC, 0, status, value);
}

bool HelperPort::send_request(std::uint8_t op, std::uint16_t port, std::uint8_t value)
{
    if (socket_ < 0)
        return false;
    const Request request{op, value, port, ++seq_};
    ssize_t n;
    do
        n = ::send(socket_, &request, sizeof request, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n == sizeof request)
        return true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        lose(fill_in(tr_text("PortHelper", "took no request for %1 s"),
                     HELPER_REPLY_TIMEOUT.count()),
             true);
    else
        lose(reap(HELPER_REPLY_TIMEOUT), false);
    return false;
}

bool HelperPort::ask(std::uint8_t op, std::uint16_t port, std::uint8_t &status, std::uint8_t &value)
{
    if (!send_request(op, port, 0))
        return false;
    Reply reply{};
    ssize_t n;
    do
        n = ::recv(socket_, &reply, sizeof reply, MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        lose(fill_in(tr_text("PortHelper", "did not answer within %1 s"),
                     HELPER_REPLY_TIMEOUT.count()),
             true);
        return false;
    }
    if (n <= 0) {
        lose(reap(HELPER_REPLY_TIMEOUT), false);
        return false;
    }
    if (n != sizeof reply || reply.seq != seq_ || reply.status > REFUSED) {
        lose(tr_text("PortHelper", "answered with something stelmo does not understand"), true);
        return false;
    }
    faults_.failed_writes += reply.failed_writes;
    faults_.refused += reply.refused_writes;
    status = reply.status;
    value = reply.status == DONE ? reply.value : PORT_NOTHING;
    return true;
}

void HelperPort::lose(const std::string &why, bool kill_first)
{
    if (socket_ < 0)
        return;
    ::close(socket_);
    socket_ = -1;
    if (kill_first && pid_ > 0)
        ::kill(pid_, SIGKILL);
    reap(HELPER_REPLY_TIMEOUT);
    report(fill_in(tr_text("PortHelper", "port helper %1 %2; accesses to %3 fail from now on"),
                   printable(helper_), why, description()));
    hardware_lost(); // the engine stops every timer
}

std::string HelperPort::reap(std::chrono::milliseconds wait)
{
    if (pid_ <= 0)
        return tr_text("PortHelper", "ended");
    const auto deadline = std::chrono::steady_clock::now() + wait;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        const timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
    }
    if (got == 0) {
        ::kill(pid_, SIGKILL);
        got = ::waitpid(pid_, &status, 0);
    }
    pid_ = 0;
    if (got < 0)
        return tr_text("PortHelper", "ended");
    if (WIFSIGNALED(status))
        return fill_in(tr_text("PortHelper", "was killed by signal %1 (%2)"), WTERMSIG(status),
                       strsignal(WTERMSIG(status)));
    return fill_in(tr_text("PortHelper", "exited with status %1"), WEXITSTATUS(status));
}

void HelperPort::refuse(std::uint16_t port)
{
    ++faults_.refused;
    count_refusal(config_.device, shown_, port);
}

std::string find_helper(std::string &error)
{
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        const int err = errno;
        error = fill_in(tr_text("PortHelper", "cannot find the port helper: /proc/self/exe: %1"),
                        std::strerror(err));
        return {};
    }
    const std::filesystem::path dir =
        std::filesystem::path(std::string(exe, static_cast<std::size_t>(n))).parent_path();
    const std::filesystem::path places[] = {
        dir / HELPER_NAME, (dir / ".." / "libexec" / "stelmo" / HELPER_NAME).lexically_normal()};
    // Found when it is there at all: whether this user may run it, starting
    // it says (see start_failure).
    for (const auto &place : places) {
        struct stat st {};
        if (::stat(place.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return place;
    }
    error = fill_in(
        tr_text("PortHelper",
                "cannot find the port helper: neither %1 nor %2 is there; reinstall stelmo"),
        printable(places[0].string()), printable(places[1].string()));
    return {};
}

std::unique_ptr<HelperPort> open_helper_port(std::string_view io, std::string &error)
{
    const std::string helper = find_helper(error);
    return helper.empty() ? nullptr : HelperPort::start(helper, io, error);
}

Opened open_helper_backend(std::string_view value, Setup &setup, std::string &error)
{
    if (!check_device_port(value, error))
        return Opened::bad_value;
    auto port = open_helper_port(value, error);
    if (!port)
        return Opened::failed;
    describe_device(port->config(), setup);
    setup.backend = std::move(port);
    return Opened::ok;
}

} // namespace stelmo::ports
