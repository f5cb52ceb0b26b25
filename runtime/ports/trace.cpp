// The port trace. Each access costs one snprintf into a stack buffer and one
// write(2); nothing allocates, and a line is on disk before the access returns,
// so a crash loses nothing that happened before it.
#include "runtime/ports/trace.h"

#include "runtime/report.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace stelmo::ports {

TraceBackend::TraceBackend(std::unique_ptr<Backend> inner, int fd, std::string path)
    : inner_(std::move(inner)), fd_(fd), path_(std::move(path)),
      start_(std::chrono::steady_clock::now())
{
}

TraceBackend::~TraceBackend()
{
    ::close(fd_);
}

std::unique_ptr<TraceBackend> TraceBackend::open(const std::string &path,
                                                 std::unique_ptr<Backend> inner, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open trace file " + printable(path) +
                " (STELMO_TRACE): " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<TraceBackend>(new TraceBackend(std::move(inner), fd, path));
}

bool TraceBackend::read(std::uint16_t port, std::uint8_t &value)
{
    const bool done = inner_->read(port, value);
    log(false, port, value);
    return done;
}

bool TraceBackend::write(std::uint16_t port, std::uint8_t value)
{
    const bool accepted = inner_->write(port, value);
    log(true, port, value); // refused writes too: the line records what the program did
    return accepted;
}

void TraceBackend::log(bool out, std::uint16_t port, std::uint8_t value)
{
    using namespace std::chrono;
    const long long us = duration_cast<microseconds>(steady_clock::now() - start_).count();
    char line[64];
    int length = std::snprintf(line, sizeof line, "%lld.%06lld %s 0x%03x 0x%02x", us / 1000000,
                               us % 1000000, out ? "out" : "in", static_cast<unsigned>(port),
                               static_cast<unsigned>(value));
    const std::uint16_t reached = inner_->physical(port);
    if (reached != port)
        length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                                " 0x%03x", static_cast<unsigned>(reached));
    line[length++] = '\n'; // the longest line is 35 characters; the buffer has room

    const int cause = write_all(fd_, std::string_view(line, static_cast<std::size_t>(length)));
    // Report the first lost line only: at the tick rate a full disk would
    // otherwise bury stderr. The count keeps the rest.
    if (cause != 0 && lost_++ == 0)
        report("trace file " + printable(path_) + ": " + std::strerror(cause) +
               "; trace lines are being lost (reported once)");
}

} // namespace stelmo::ports
