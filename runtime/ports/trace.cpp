// The port trace. Each access costs one snprintf into a stack buffer and a
// copy into the writer's queue; nothing allocates, and the writer's thread
// has the line out a moment later. Opening decides once what the
// destination is, before anything is opened.
#include "runtime/ports/trace.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace stelmo::ports {

namespace {

constexpr const char *DOT = " \xc2\xb7 "; // " · ", U+00B7 in UTF-8

// Terminals by device number, so that nothing else is ever opened: the
// pseudo-terminals (majors 136 to 143), the virtual consoles (4:0 to 4:63),
// the controlling terminal /dev/tty (5:0) and the console (5:1). Serial lines
// (4:64 and up, and others) are left out: opening one can reset what hangs on it.
bool terminal_number(dev_t device)
{
    const unsigned major_number = major(device);
    const unsigned minor_number = minor(device);
    return (major_number >= 136 && major_number <= 143) ||
           (major_number == 4 && minor_number < 64) || (major_number == 5 && minor_number <= 1);
}

// What a file that cannot take the trace is, for the refusal.
std::string unfit(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFCHR:
        return tr_text("PortTrace", "a character device other than a terminal");
    case S_IFBLK:
        return tr_text("PortTrace", "a block device");
    case S_IFSOCK:
        return tr_text("PortTrace", "a socket");
    default:
        return tr_text("PortTrace", "neither a file, a pipe nor a terminal");
    }
}

std::string loss_cause(int cause, TraceBackend::Destination to)
{
    if ((cause == EAGAIN || cause == EWOULDBLOCK) && to == TraceBackend::Destination::file)
        return tr_text("PortTrace", "writing to it does not keep up");
    if (cause == EAGAIN || cause == EWOULDBLOCK)
        return tr_text("PortTrace", "the reader does not keep up");
    if (cause == EPIPE)
        return tr_text("PortTrace", "no process reads it any more (Broken pipe)");
    return std::strerror(cause);
}

// Local date and time with the offset from UTC, "2026-12-08 10:15:02 +0100".
std::string local_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[64] = "";
    if (::localtime_r(&now, &local))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

// `text` on one line: control characters become blanks.
std::string one_line(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return text;
}

// What errno `cause` means in the C library's English words, whatever the
// locale: the trace reads the same in every language.
const char *english(int cause)
{
    if (cause == 0)
        return "no byte was written";
    const char *words = ::strerrordesc_np(cause);
    return words ? words : "unknown error";
}

ssize_t write_once(int fd, const char *text, std::size_t length)
{
    ssize_t n;
    do
        n = ::write(fd, text, length);
    while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

TraceBackend::TraceBackend(std::unique_ptr<Backend> inner, int fd, Destination to,
                           const std::string &path)
    : inner_(std::move(inner)), fd_(fd), to_(to), shown_(printable(path)),
      loss_kind_(fill_in(tr_text("PortTrace", "trace file %1: lines lost"), shown_)),
      start_(std::chrono::steady_clock::now()), started_(local_now())
{
    set_run_info({}, {});
    inner_->watch_late_failures(&TraceBackend::writes_failed, this);
}

TraceBackend::~TraceBackend()
{
    inner_->watch_late_failures(nullptr, nullptr);
    writer_.reset(); // its thread writes the queue out and ends
    ::close(fd_);
}

void TraceBackend::writes_failed(void *trace, std::uint16_t port, int cause, long count)
{
    auto *self = static_cast<TraceBackend *>(trace);
    self->failed_port_ = port;
    self->failed_cause_ = cause;
    self->failed_unnoted_ += count;
    self->failed_total_ += count;
}

namespace {

// Why opening a destination of kind `to` failed with `err`, in words that
// say what to do about it.
std::string open_failure(int err, TraceBackend::Destination to)
{
    if (err == ENXIO && to == TraceBackend::Destination::pipe)
        return tr_text("PortTrace", "no process is reading the FIFO; start its reader first");
    if (err == ENXIO && to == TraceBackend::Destination::terminal)
        return tr_text("PortTrace", "no such terminal (stelmo has no controlling terminal)");
    if (err == EEXIST)
        return tr_text("PortTrace", "it is a symbolic link to nothing, or keeps appearing");
    return std::strerror(err);
}

// How to open a destination found as `before` (`exists` false: none yet,
// `where` names it): `flags` and `to` completed, or false with `error` for a
// kind of file the trace cannot go to.
bool open_flags(const struct stat &before, bool exists, const std::string &where, int &flags,
                TraceBackend::Destination &to, std::string &error)
{
    using Destination = TraceBackend::Destination;
    const mode_t type = exists ? before.st_mode & S_IFMT : S_IFREG;
    if (!exists) {
        flags |= O_CREAT | O_EXCL | O_APPEND; // a new file, never whatever appears meanwhile
    } else if (type == S_IFREG) {
        flags |= O_APPEND;
    } else if (type == S_IFIFO) {
        flags |= O_NONBLOCK; // no reader: ENXIO at once instead of a wait
        to = Destination::pipe;
    } else if (type == S_IFCHR && terminal_number(before.st_rdev)) {
        flags |= O_NONBLOCK;
        to = Destination::terminal;
    } else if (type == S_IFDIR) {
        error = fill_in(tr_text("PortTrace", "cannot open %1: %2"), where, std::strerror(EISDIR));
        return false;
    } else {
        error = fill_in(tr_text("PortTrace", "%1 is %2; the trace goes to a regular file, a "
                                             "pipe or FIFO, or a terminal"),
                        where, unfit(before.st_mode));
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<TraceBackend> TraceBackend::open(const std::string &path,
                                                 std::unique_ptr<Backend> inner, std::string &error,
                                                 std::string_view given)
{
    const std::string where =
        fill_in(tr_text("PortTrace", "trace file %1 (%2)"), printable(path), given);
    const std::string cannot_open = tr_text("PortTrace", "cannot open %1: %2");
    for (int attempt = 0;; ++attempt) {
        struct stat before {};
        const bool exists = ::stat(path.c_str(), &before) == 0;
        if (!exists && errno != ENOENT) {
            error = fill_in(cannot_open, where, std::strerror(errno));
            return nullptr;
        }
        const mode_t type = exists ? before.st_mode & S_IFMT : S_IFREG;
        int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
        Destination to = Destination::file;
        if (!open_flags(before, exists, where, flags, to, error))
            return nullptr;

        const int fd = ::open(path.c_str(), flags, 0644);
        if (fd < 0 && errno == EEXIST && attempt == 0)
            continue; // created meanwhile: look at it again
        if (fd < 0) {
            error = fill_in(cannot_open, where, open_failure(errno, to));
            return nullptr;
        }
        // The file opened must be the one looked at.
        struct stat after {};
        const bool same =
            ::fstat(fd, &after) == 0 && (after.st_mode & S_IFMT) == type &&
            (!exists || (after.st_dev == before.st_dev && after.st_ino == before.st_ino &&
                         after.st_rdev == before.st_rdev));
        if (!same || (to == Destination::terminal && !::isatty(fd))) {
            ::close(fd);
            error =
                same ? fill_in(tr_text("PortTrace", "%1 is not a terminal"), where)
                     : fill_in(tr_text("PortTrace", "%1 changed while it was being opened"), where);
            return nullptr;
        }
        std::unique_ptr<TraceBackend> trace(new TraceBackend(std::move(inner), fd, to, path));
        std::string why;
        trace->writer_ = LineWriter::start(*trace, QUEUE_BYTES, why);
        if (!trace->writer_) {
            error = fill_in(tr_text("PortTrace", "cannot start the writer of %1: %2"), where, why);
            return nullptr;
        }
        return trace;
    }
}

void TraceBackend::set_run_info(std::string backend, std::string interval)
{
    if (queued_any_)
        return; // the writer may be writing the header
    std::string header = "# stelmo " STELMO_VERSION " " + started_;
    if (!backend.empty())
        header += DOT + one_line(std::move(backend));
    if (!interval.empty())
        header += DOT + std::string("tick interval ") + one_line(std::move(interval));
    if (header.size() > HEADER_MAX - 1) {
        header.resize(HEADER_MAX - 4);
        while ((static_cast<unsigned char>(header.back()) & 0xC0u) == 0x80u)
            header.pop_back(); // the rest of a cut UTF-8 sequence
        if (static_cast<unsigned char>(header.back()) >= 0xC0u)
            header.pop_back(); // its lead byte
        header += "...";
    }
    header_ = header + '\n';
}

bool TraceBackend::read(std::uint16_t port, std::uint8_t &value)
{
    std::uint8_t raw = 0;
    return read_raw(port, value, raw);
}

bool TraceBackend::read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw)
{
    const bool done = inner_->read_raw(port, value, raw);
    log(false, port, value, done, raw);
    return done;
}

bool TraceBackend::write(std::uint16_t port, std::uint8_t value)
{
    const bool done = inner_->write(port, value);
    log(true, port, value, done,
        value); // refused writes too: the line records what the program did
    return done;
}

bool TraceBackend::settle(std::chrono::milliseconds wait)
{
    return writer_->settle(LineWriter::Clock::now() + wait);
}

void TraceBackend::log(bool out, std::uint16_t port, std::uint8_t value, bool done,
                       std::uint8_t raw)
{
    char text[DATA_LINE_MAX];
    std::size_t length = 0;
    const auto add = [&](int n) { // snprintf's count, never past the end
        if (n > 0)
            length += std::min(static_cast<std::size_t>(n), sizeof text - length - 1);
    };
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    note_failed_writes(now);
    const long long us = duration_cast<microseconds>(now - start_).count();
    add(std::snprintf(text, sizeof text, "%lld.%06lld %s 0x%03x 0x%02x", us / 1000000, us % 1000000,
                      out ? "out" : "in", static_cast<unsigned>(port),
                      static_cast<unsigned>(value)));
    const std::uint16_t reached = inner_->physical(port);
    if (reached != port)
        add(std::snprintf(text + length, sizeof text - length, " 0x%03x",
                          static_cast<unsigned>(reached)));
    if (raw != value)
        add(std::snprintf(text + length, sizeof text - length, " raw 0x%02x",
                          static_cast<unsigned>(raw)));
    if (!done)
        add(std::snprintf(text + length, sizeof text - length, " failed"));
    text[length++] = '\n'; // add() leaves room for it
    queued_any_ = true;
    if (!writer_->add({std::string_view(text, length)}))
        say_lost(EAGAIN);
}

// Writes that failed after their lines said nothing of it (the port helper
// answers a write with its next reply): a note before the next line, the
// first at once, then once a second while they go on.
void TraceBackend::note_failed_writes(std::chrono::steady_clock::time_point now)
{
    using namespace std::chrono_literals;
    if (failed_unnoted_ == 0 || (failed_noted_ && now - failed_noted_at_ < 1s))
        return;
    char text[DATA_LINE_MAX];
    const int n =
        std::snprintf(text, sizeof text, "# out 0x%03x failed %ld time%s (%ld in all): %s\n",
                      static_cast<unsigned>(failed_port_), failed_unnoted_,
                      failed_unnoted_ == 1 ? "" : "s", failed_total_, english(failed_cause_));
    const std::size_t length = std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof text - 1);
    queued_any_ = true;
    if (!writer_->add({std::string_view(text, length)})) {
        say_lost(EAGAIN);
        return;
    }
    failed_unnoted_ = 0;
    failed_noted_ = true;
    failed_noted_at_ = now;
}

bool TraceBackend::put(std::string_view line, long lost, const std::atomic<bool> &stopping)
{
    char text[TEXT_MAX];
    std::size_t length = 0;
    if (torn_)
        text[length++] = '\n'; // ends the part of a line that could not be cut off
    if (!header_written_) {
        std::memcpy(text + length, header_.data(), header_.size());
        length += header_.size();
    }
    if (lost > 0) {
        const int n = std::snprintf(text + length, sizeof text - length, "# lost %ld line%s\n",
                                    lost, lost == 1 ? "" : "s");
        length += static_cast<std::size_t>(std::max(n, 0));
    }
    const std::size_t taken = std::min(line.size(), sizeof text - length);
    std::memcpy(text + length, line.data(), taken);
    length += taken;

    int cause = 0;
    if (!write_out(text, length, stopping, cause)) {
        say_lost(cause);
        return false;
    }
    header_written_ = true;
    torn_ = false;
    return true;
}

bool TraceBackend::write_out(const char *text, std::size_t length,
                             const std::atomic<bool> &stopping, int &cause)
{
    std::size_t written = 0;
    while (written < length) {
        const ssize_t n = write_once(fd_, text + written, length - written);
        // A file that took part (disk full, size limit) is written on: that
        // either finishes the line after all or says why not.
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EAGAIN && to_ != Destination::file && !stopping.load()) {
            pollfd ready{fd_, POLLOUT, 0}; // a pipe or terminal that takes nothing now
            ::poll(&ready, 1, 100);
            continue;
        }
        cause = n < 0 ? errno : EIO;
        break;
    }
    if (written == length)
        return true;
    if (written > 0 && to_ == Destination::file) {
        // The part is cut off again, so the file never holds part of a line.
        const off_t end = ::lseek(fd_, 0, SEEK_CUR); // O_APPEND: just after what this wrote
        torn_ = end < 0 || ::ftruncate(fd_, end - static_cast<off_t>(written)) != 0;
    } else if (written > 0) {
        torn_ = true; // a pipe or terminal keeps what it took
    }
    return false;
}

void TraceBackend::say_lost(int cause)
{
    // The first loss is said; the fault log counts the rest and sums them up.
    diagnostics::fault(loss_kind_, [&] {
        return fill_in(tr_text("PortTrace", "trace file %1: %2; trace lines are being lost, and a "
                                            "\"# lost N lines\" line marks the gap once writing "
                                            "works again"),
                       shown_, loss_cause(cause, to_));
    });
}

} // namespace stelmo::ports
