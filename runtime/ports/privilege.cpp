// Capabilities through the raw capget/capset calls, so nothing needs libcap.
#include "runtime/ports/privilege.h"

#include "runtime/base/report.h"
#include "runtime/base/text.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace stelmo::ports {

namespace {

// True unless this thread's effective, permitted and inheritable sets are
// known to be empty (the ambient set is part of the other two).
bool holds_capabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, sets) != 0)
        return true;
    for (const auto &set : sets)
        if (set.effective || set.permitted || set.inheritable)
            return true;
    return false;
}

// The threads of this process other than the caller that hold a permitted
// or effective capability, as /proc/self/task/*/status says.
long other_threads_holding()
{
    const std::string self = std::to_string(::gettid());
    long holding = 0;
    std::error_code failed;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", failed)) {
        if (task.path().filename() == self)
            continue;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if ((line.rfind("CapPrm:", 0) == 0 || line.rfind("CapEff:", 0) == 0) &&
                line.find_first_not_of("0 \t", 7) != std::string::npos) {
                ++holding;
                break;
            }
        }
    }
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer's runtime starts a thread of its own before main.
    // It runs none of stelmo's code, and a test build is never installed.
    if (holding > 0)
        --holding;
#endif
    return holding;
}

} // namespace

bool drop_thread_capabilities(std::string &error)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        const int err = errno;
        error = fill_in(tr_text("Privileges", "cannot drop capabilities: %1"), std::strerror(err));
        return false;
    }
    // Kernels before 4.3 have no ambient set, and with nothing permitted it
    // would be empty anyway.
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        const int err = errno;
        error = fill_in(tr_text("Privileges", "cannot clear the ambient capabilities: %1"),
                        std::strerror(err));
        return false;
    }
    return true;
}

void drop_capabilities()
{
    if (!holds_capabilities())
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
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct left[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, left) != 0) {
        error = std::string("cannot check the capabilities left: ") + std::strerror(errno);
        return false;
    }
    for (const auto &set : left) {
        if (set.effective || set.permitted || set.inheritable) {
            error = "capabilities are left after dropping them all";
            return false;
        }
    }
    return true;
}

} // namespace stelmo::ports
