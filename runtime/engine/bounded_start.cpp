// Start-up that ends. Before Qt is created, stelmo makes sure that it will
// not hang or abort on the way:
//   - descriptors: Qt's event loop aborts (through GLib) when it cannot make
//     its wake-up pipe, and too few descriptors fail at random places
//     later; so some are taken and given back first;
//   - threads: Qt waits for ever for a thread it could not start (its D-Bus
//     connection's, under a tight ulimit -v); so a thread such as Qt makes
//     is started first, with room for what Qt maps meanwhile;
//   - D-Bus: Qt's accessibility bridge asks the session bus, and the
//     accessibility bus it names, with 25 s to answer each call; so the same
//     questions are asked first with a second for all of them (bus_probe.h),
//     and where they go unanswered Qt is kept off those buses: screen readers
//     then get nothing from stelmo, which one line says.
// Either stelmo says in one line why it cannot start, or it starts.
#include "runtime/engine/safeguards.h"

#include "runtime/base/bus_probe.h"
#include "runtime/base/report.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace stelmo::engine {

namespace {

// Descriptors stelmo may need beside those open at start-up: the display
// connection, the event loop's, the signal pipe, the frame timer, the port
// helper's socket, the trace, D-Bus, files Qt reads; a dozen and a half when
// it runs, the rest to spare.
constexpr int DESCRIPTORS_NEEDED = 32;
// Address space Qt maps while it starts (its platform plugin, fonts, the
// threads of the display connection and of D-Bus), beside the test thread.
constexpr std::size_t ROOM_NEEDED = 48 * 1024 * 1024;
// How long the buses Qt asks at start-up have to answer, all together.
constexpr std::chrono::milliseconds BUS_WAIT{1000};

// How many more descriptors this process may open, counted up to `most`.
int free_descriptors(int most)
{
    int taken[DESCRIPTORS_NEEDED];
    int got = 0;
    while (got < most && got < DESCRIPTORS_NEEDED) {
        const int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0)
            break;
        taken[got++] = fd;
    }
    for (int i = 0; i < got; ++i)
        ::close(taken[i]);
    return got;
}

// 0 when a thread with the default stack, as Qt starts them, can be had with
// ROOM_NEEDED to spare; else why not (an errno value).
int thread_with_room()
{
    void *room =
        ::mmap(nullptr, ROOM_NEEDED, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED)
        return errno;
    pthread_t thread{};
    const int failed = pthread_create(
        &thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
    if (failed == 0)
        pthread_join(thread, nullptr);
    ::munmap(room, ROOM_NEEDED);
    return failed;
}

std::string limit_text(int resource)
{
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return translate("stelmo", "unlimited")();
    return resource == RLIMIT_AS ? std::to_string(limit.rlim_cur / 1024) + " KiB"
                                 : std::to_string(limit.rlim_cur);
}

// Whether the session bus answers what Qt's accessibility bridge asks of it
// at start-up, and the accessibility bus it names, before `deadline`.
bool accessibility_answers(const std::string &session, bus::Clock::time_point deadline)
{
    bus::Probe probe(session, deadline);
    std::string reply;
    bool failed = false;
    if (!probe.ok())
        return !probe.silent(); // no bus there: Qt finds that out at once
    if (!probe.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "NameHasOwner", {"org.a11y.Bus"}, reply, failed))
        return false;
    if (failed || !bus::Probe::as_bool(reply))
        return true; // no accessibility bus: Qt only watches for one to come
    bool enabled = std::getenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON") != nullptr;
    for (const char *property : {"ScreenReaderEnabled", "IsEnabled"}) {
        if (!probe.call("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                        {"org.a11y.Status", property}, reply, failed))
            return false;
        enabled = enabled || (!failed && bus::Probe::as_variant_bool(reply));
    }
    if (!enabled)
        return true; // Qt goes no further
    if (!probe.call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", {}, reply,
                    failed))
        return false;
    return failed || bus::Probe(bus::Probe::as_string(reply), deadline).ok();
}

} // namespace

Fault check_room_to_start()
{
    if (free_descriptors(DESCRIPTORS_NEEDED) < DESCRIPTORS_NEEDED)
        return {ERR_NO_ENGINE,
                translate("stelmo", "too few file descriptors to start: stelmo needs %1 free, and "
                                    "ulimit -n allows %2 in all")(DESCRIPTORS_NEEDED,
                                                                  limit_text(RLIMIT_NOFILE))};
    if (const int cause = thread_with_room())
        return {ERR_NO_ENGINE,
                translate("stelmo",
                          "too little room to start the user interface's threads "
                          "(ulimit -v: %1): %2")(limit_text(RLIMIT_AS), std::strerror(cause))};
    return {};
}

void keep_qt_off_silent_buses()
{
    const auto deadline = bus::Clock::now() + BUS_WAIT;
    bool answers = true;
    if (const char *a11y = std::getenv("AT_SPI_BUS_ADDRESS"); a11y && *a11y) {
        answers = bus::Probe(a11y, deadline).ok(); // Qt asks no other bus then
    } else if (const std::string session = bus::session_address(); session.empty()) {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus::NO_BUS, 1); // nor starts one of its own
    } else {
        answers = accessibility_answers(session, deadline);
    }
    if (answers)
        return;
    ::setenv("AT_SPI_BUS_ADDRESS", bus::NO_BUS, 1); // Qt's bridge then asks nobody
    report(translate("stelmo", "D-Bus did not answer within %1 ms: screen readers get nothing "
                               "from stelmo this time")(static_cast<long long>(BUS_WAIT.count())));
}

} // namespace stelmo::engine
