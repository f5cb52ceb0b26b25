// Capabilities through libcap. Each call changes the calling thread alone:
// libcap's process-wide mode (libpsx) reaches only the threads this
// executable creates itself, not those of the libraries it loads, so instead
// stelmo drops them before its first thread starts and checks every thread.
#include "runtime/ports/privilege.h"

#include "runtime/base/report.h"
#include "runtime/base/text.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace stelmo::ports {

namespace {

// True unless `caps` (freed here) is known to hold nothing: empty effective,
// permitted and inheritable sets (the ambient set is part of the other two).
bool holding(cap_t caps)
{
    cap_t none = cap_init();
    const bool held = !caps || !none || cap_compare(caps, none) != 0;
    cap_free(none);
    cap_free(caps);
    return held;
}

// The threads of this process other than the caller that hold a capability.
long other_threads_holding()
{
    const std::string self = std::to_string(::gettid());
    long held = 0;
    std::error_code failed;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", failed)) {
        const std::string tid = task.path().filename();
        if (tid == self)
            continue;
        // Null for a thread that ended meanwhile: it holds nothing.
        if (cap_t caps = cap_get_pid(std::stoi(tid)); caps && holding(caps))
            ++held;
    }
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer's runtime starts a thread of its own before main.
    // It runs none of stelmo's code, and a test build is never installed.
    if (held > 0)
        --held;
#endif
    return held;
}

} // namespace

bool drop_thread_capabilities(std::string &error)
{
    cap_t none = cap_init();
    const int failed = none ? cap_set_proc(none) : -1;
    const int err = errno;
    cap_free(none);
    if (failed != 0) {
        error = fill_in(tr_text("Privileges", "cannot drop capabilities: %1"), std::strerror(err));
        return false;
    }
    // Kernels before 4.3 have no ambient set, and with nothing permitted it
    // would be empty anyway.
    if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0) {
        const int cause = errno;
        error = fill_in(tr_text("Privileges", "cannot clear the ambient capabilities: %1"),
                        std::strerror(cause));
        return false;
    }
    return true;
}

void drop_capabilities()
{
    if (!holding(cap_get_proc()))
        return; // nothing to give up, so nothing to say about other threads
    std::string error;
    if (!drop_thread_capabilities(error))
        report(error);
    // Capabilities belong to threads: those already running keep theirs,
    // unless they gave them up themselves (the real-time launcher does).
    if (const long others = other_threads_holding())
        report(fill_in(others == 1
                           ? tr_text("Privileges", "capabilities dropped in this thread, but "
                                                   "%1 other thread keeps its (drop them "
                                                   "before any thread starts)")
                           : tr_text("Privileges", "capabilities dropped in this thread, but "
                                                   "%1 other threads keep theirs (drop them "
                                                   "before any thread starts)"),
                       others));
}

bool drop_capabilities_for_good(std::string &error)
{
    if (!drop_thread_capabilities(error))
        return false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("cannot set no_new_privs: ") + std::strerror(errno);
        return false;
    }
    // Without capabilities the process would be open to tracing, and its
    // descriptors to /proc/<pid>/fd, for any process of the same user (root
    // included, when stelmo runs as root with its capabilities dropped).
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        error = std::string("cannot make the process undumpable: ") + std::strerror(errno);
        return false;
    }
    if (holding(cap_get_proc())) {
        error = "capabilities are left after dropping them all";
        return false;
    }
    return true;
}

} // namespace stelmo::ports
