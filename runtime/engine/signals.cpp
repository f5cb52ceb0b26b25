// Signals. SIGPIPE and SIGXFSZ are ignored: a write to a pipe nobody reads
// any more fails with EPIPE, and a trace that reaches the file size limit
// (ulimit -f) with EFBIG, and each is reported like any other failed write,
// instead of ending the process silently with a phase left on. SIGTERM, SIGINT and SIGHUP end
// the program as Quit does, with every timer off at once, and the process
// then exits with 128 + the signal's number, as a shell reports a process
// the signal ended. The handler only writes the signal's number into a pipe
// that the event loop watches; a second signal before the program has ended
// ends the process at once, as it would have without a handler (a loop that
// no longer answers cannot hold the process).
#include "runtime/engine/safeguards.h"
#include "runtime/engine/state.h"

#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace stelmo::engine {

namespace {

// --- state ------------------------------------------------------------------
// The pipe from the handler to the event loop: [0] read by the loop, [1]
// written by the handler; -1 until watch_signals.
int signal_pipe[2] = {-1, -1};
// Signals caught so far (lock-free, so the handler may count them).
std::atomic_int signals_caught{0};
static_assert(std::atomic_int::is_always_lock_free);
// The engine whose ticks the handler stops, should the loop not answer.
std::atomic<Engine *> watched{nullptr};
static_assert(std::atomic<Engine *>::is_always_lock_free && std::atomic_bool::is_always_lock_free);
// The signal that ended the event loop; 0: none. Event-loop thread only.
int ending = 0;

constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void on_signal(int number)
{
    if (signals_caught.fetch_add(1) > 0) { // the program did not end on the first
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    // No tick reaches the program from now on, even while the loop does
    // not answer (stopping.cpp); the loop then ends the program.
    if (Engine *engine = watched.load())
        engine->stop_asked.store(true);
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void signalled(Engine &engine)
{
    char byte = 0;
    while (::read(signal_pipe[0], &byte, 1) == 1) {
        if (ending == 0)
            ending = static_cast<unsigned char>(byte);
    }
    if (ending != 0)
        end_at_once(engine, 0);
}

} // namespace

Fault watch_signals(Engine &engine)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int number : {SIGPIPE, SIGXFSZ}) {
        if (::sigaction(number, &ignore, nullptr) != 0)
            return {ERR_NO_ENGINE, translate("stelmo", "cannot ignore %1: %2")(
                                       sigabbrev_np(number), std::strerror(errno))};
    }

    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return {ERR_NO_ENGINE, translate("stelmo", "cannot make a pipe to watch signals with: %1")(
                                   std::strerror(errno))};
    watched.store(&engine);
    auto *notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, engine.app);
    Engine *self = &engine;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [self] { signalled(*self); });

    struct sigaction handle {};
    handle.sa_handler = &on_signal;
    sigemptyset(&handle.sa_mask);
    handle.sa_flags = SA_RESTART; // the program's own system calls go on undisturbed
    for (const int number : ENDING_SIGNALS) {
        if (::sigaction(number, &handle, nullptr) != 0)
            return {ERR_NO_ENGINE, translate("stelmo", "cannot catch %1: %2")(
                                       sigabbrev_np(number), std::strerror(errno))};
    }
    return {};
}

int ending_signal()
{
    return ending;
}

} // namespace stelmo::engine
