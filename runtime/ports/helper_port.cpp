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
#include <filesystem>
#include <grp.h>
#include <spawn.h>
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

// Starts the helper `argv[0]` with `end` as its HELPER_SOCKET, nothing open
// above it and no signal blocked; posix_spawn's result, which includes a
// failed exec.
int spawn_helper(int end, char *const argv[], pid_t &pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (const int err = posix_spawn_file_actions_init(&actions))
        return err;
    if (const int err = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return err;
    }
    sigset_t none;
    ::sigemptyset(&none);
    // A dup2 onto itself clears FD_CLOEXEC, so `end` may be HELPER_SOCKET already.
    int err = posix_spawn_file_actions_adddup2(&actions, end, HELPER_SOCKET);
    if (err == 0)
        err = posix_spawn_file_actions_addclosefrom_np(&actions, HELPER_SOCKET + 1);
    if (err == 0)
        err = posix_spawnattr_setsigmask(&attributes, &none);
    if (err == 0)
        err = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (err == 0)
        err = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return err;
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
    pid_t pid = 0;
    const int err = spawn_helper(ends[1], argv, pid);
    ::close(ends[1]);
    if (err != 0) {
        ::close(ends[0]);
        error = start_failure(helper, err);
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
    if (!understood(head, text, error))
        return false;
    if (!head.opened) {
        error = why_not_opened(head, text);
        return false;
    }
    config_.device = text;
    shown_ = printable(config_.device);
    config_.physical[0] = head.physical[0];
    config_.physical[1] = head.physical[1];
    set_timeouts(socket_, HELPER_REPLY_TIMEOUT);
    return true;
}

bool HelperPort::understood(const Hello &head, std::string_view text, std::string &error) const
{
    const std::string shown = printable(helper_);
    // A device path comes as it is (stelmo shows it through printable()); a
    // line of the helper's own must be one printable line.
    const bool path = head.opened || head.open_errno != 0;
    if (head.magic != MAGIC || (!path && !printable_line(text))) {
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
    return true;
}

std::string HelperPort::why_not_opened(const Hello &head, std::string_view text) const
{
    const std::string device(text);
    if (head.open_errno == EBUSY && head.holder != 0)
        return in_use_failure(device, head.holder);
    if (head.open_errno != 0)
        return open_failure(device, head.open_errno, LOCKDOWN_FILE, helper_.c_str());
    if (text.empty())
        return fill_in(tr_text("PortHelper", "the port helper %1 failed without saying why"),
                       printable(helper_));
    return device;
}

void HelperPort::watch_late_failures(LateFailures report, void *context)
{
    late_ = report;
    late_context_ = context;
}

std::uint16_t HelperPort::physical(std::uint16_t port) const
{
    return physical_port(config_, port);
}

bool HelperPort::read(std::uint16_t port, std::uint8_t &value)
{
    value = PORT_NOTHING;
    if (!allowed_access(port, false)) {
        refuse(port, false);
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
    if (!allowed_access(port, true)) {
        refuse(port, true);
        return false;
    }
    written_ = port;
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
    if (reply.failed_writes > 0 && late_)
        late_(late_context_, written_, reply.write_errno, reply.failed_writes);
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

void HelperPort::refuse(std::uint16_t port, bool writing)
{
    ++faults_.refused;
    count_refusal(config_.device, shown_, port, writing);
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
