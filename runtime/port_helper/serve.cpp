// The port helper's serving loop: the allow-list by direction, then the
// backend. Whatever backend the registry chose, nothing but a write to a data
// register or a read of a switch register reaches it.
#include "runtime/port_helper/port_helper.h"

#include "runtime/base/diagnostics.h"
#include "runtime/base/report.h"
#include "runtime/ports/helper_protocol.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/socket.h>

namespace stelmo::ports::helper {

namespace {

void count(std::uint32_t &counter)
{
    if (counter != UINT32_MAX)
        ++counter;
}

// Makes the access `request` asks for where the allow-list lets it; its
// Status. `value` is the byte read, PORT_NOTHING unless DONE.
Status access(Backend &backend, const Request &request, const std::string &device,
              const std::string &shown, std::uint8_t &value)
{
    const bool writing = request.op == OP_WRITE;
    value = PORT_NOTHING;
    if (!allowed_access(request.port, writing)) {
        count_refusal(device, shown, request.port, writing);
        return REFUSED;
    }
    const bool done =
        writing ? backend.write(request.port, request.value) : backend.read(request.port, value);
    return done ? DONE : FAILED;
}

// Takes the next request: 1 with `request`, 0 when stelmo closed its end, -1
// when the request is malformed or the socket broke (reported).
int receive(int socket, Request &request)
{
    ssize_t n;
    do
        n = ::recv(socket, &request, sizeof request, MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno == ECONNRESET))
        return 0;
    if (n < 0) {
        report(std::string(HELPER_NAME) + ": cannot receive from stelmo: " + std::strerror(errno));
        return -1;
    }
    if (n != sizeof request ||
        (request.op != OP_READ && request.op != OP_WRITE && request.op != OP_SYNC)) {
        report(std::string(HELPER_NAME) + ": malformed request from stelmo (" + std::to_string(n) +
               " bytes, operation " + std::to_string(request.op) + "); ending without an access");
        return -1;
    }
    return 1;
}

} // namespace

int serve(int socket, Backend &backend, const std::string &device)
{
    const std::string shown = printable(device);
    std::uint32_t failed = 0;  // writes since the last reply that failed
    std::uint32_t refused = 0; // ... and that were refused
    for (;;) {
        // The backend's repeated failures, summed up every few seconds; the
        // rest are said when the helper exits.
        diagnostics::flush_repeats();
        Request request{};
        if (const int got = receive(socket, request); got <= 0)
            return got == 0 ? 0 : 1;
        Reply reply{request.seq, DONE, PORT_NOTHING, 0, 0, 0};
        if (request.op != OP_SYNC)
            reply.status = access(backend, request, device, shown, reply.value);
        if (request.op == OP_WRITE) {
            if (reply.status != DONE)
                count(reply.status == REFUSED ? refused : failed);
            continue;
        }
        reply.write_errno = static_cast<std::uint16_t>(failed ? backend.write_errno() : 0);
        reply.failed_writes = failed;
        reply.refused_writes = refused;
        failed = refused = 0;
        if (::send(socket, &reply, sizeof reply, MSG_NOSIGNAL) != sizeof reply) {
            if (errno == EPIPE || errno == ECONNRESET)
                return 0;
            report(std::string(HELPER_NAME) + ": cannot answer stelmo: " + std::strerror(errno));
            return 1;
        }
    }
}

} // namespace stelmo::ports::helper
