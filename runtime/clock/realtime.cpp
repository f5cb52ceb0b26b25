#include "runtime/clock/realtime.h"

#include "runtime/base/bus_probe.h"
#include "runtime/base/realtime_policy.h"
#include "runtime/config/translation.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <link.h>
#include <mutex>
#include <sched.h>
#include <sys/capability.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace stelmo {

namespace {

// RealtimeKit's address on the system bus.
constexpr const char *RTKIT_SERVICE = "org.freedesktop.RealtimeKit1";
constexpr const char *RTKIT_PATH = "/org/freedesktop/RealtimeKit1";
constexpr const char *RTKIT_INTERFACE = "org.freedesktop.RealtimeKit1";
// Longest the caller (the event-loop thread) waits for RealtimeKit, all
// calls together (ms).
constexpr int RTKIT_BUDGET_MS = 1000;

std::string error_text(int error)
{
    return std::strerror(error);
}

// Whether the calling thread holds `capability` in its effective set.
bool has_capability(cap_value_t capability)
{
    cap_t caps = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    const bool has =
        caps && cap_get_flag(caps, capability, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
    cap_free(caps);
    return has;
}

std::string limit_text(rlim_t value)
{
    return value == RLIM_INFINITY ? translate("stelmo", "unlimited")() : std::to_string(value);
}

// The policy `tid` runs under now, without the reset-on-fork flag.
int policy_of(pid_t tid)
{
    const int policy = ::sched_getscheduler(tid);
    return policy < 0 ? policy : policy & ~SCHED_RESET_ON_FORK;
}

// RealtimeKit's reply to a call, or false with `why` set.
bool rtkit_call(QDBusConnection &bus, const QDBusMessage &message, const QDeadlineTimer &deadline,
                QDBusMessage &reply, std::string &why)
{
    const qint64 left = deadline.remainingTime();
    if (left <= 0) {
        why = translate("stelmo", "RealtimeKit did not answer within %1 ms")(RTKIT_BUDGET_MS);
        return false;
    }
    reply = bus.call(message, QDBus::Block, static_cast<int>(left));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // The two usual answers in words of one line; anything else as
        // the bus or RealtimeKit put it.
        const QString name = reply.errorName();
        if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
            why = translate("stelmo", "RealtimeKit is not running")();
        else if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
            why = translate("stelmo", "RealtimeKit did not answer within %1 ms")(RTKIT_BUDGET_MS);
        else
            why = "RealtimeKit: " + reply.errorMessage().toStdString();
        return false;
    }
    return true;
}

bool rtkit_property(QDBusConnection &bus, const char *name, const QDeadlineTimer &deadline,
                    qlonglong &value, std::string &why)
{
    QDBusMessage get = QDBusMessage::createMethodCall(RTKIT_SERVICE, RTKIT_PATH,
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QString::fromLatin1(RTKIT_INTERFACE) << QString::fromLatin1(name);
    QDBusMessage reply;
    if (!rtkit_call(bus, get, deadline, reply, why))
        return false;
    bool ok = false;
    value = reply.arguments().value(0).value<QDBusVariant>().variant().toLongLong(&ok);
    if (!ok)
        why = translate("stelmo", "RealtimeKit: property %1 is not a number")(name);
    return ok;
}

// Asks RealtimeKit to make `tid` real-time; it sets SCHED_RR, never
// SCHED_FIFO (for a thread that sleeps every period the two are the same). On
// success `granted` is the priority it gave.
bool rtkit_make_realtime(pid_t tid, int priority, int &granted, std::string &why)
{
    if (!QCoreApplication::instance()) {
        why = translate("stelmo", "RealtimeKit not asked (no application object)")();
        return false;
    }
    if (bus::silent(bus::system_address(), RTKIT_BUDGET_MS)) { // Qt would wait 25 s for it
        why = translate("stelmo",
                        "the D-Bus system bus did not answer within %1 ms")(RTKIT_BUDGET_MS);
        return false;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        why = translate("stelmo", "no D-Bus system bus for RealtimeKit")();
        return false;
    }
    const QDeadlineTimer deadline(RTKIT_BUDGET_MS);

    qlonglong max_priority = 0;
    qlonglong max_rttime_us = 0;
    if (!rtkit_property(bus, "MaxRealtimePriority", deadline, max_priority, why) ||
        !rtkit_property(bus, "RTTimeUSecMax", deadline, max_rttime_us, why))
        return false;
    granted = static_cast<int>(std::min<qlonglong>(priority, max_priority));
    if (granted < 1 || max_rttime_us < 1) {
        why = translate("stelmo", "RealtimeKit grants no real-time priority")();
        return false;
    }

    // RealtimeKit only serves processes whose real-time threads are killed
    // when they run for longer than its limit without sleeping. A tick
    // thread sleeps every period, so the limit never bites it.
    rlimit rttime{};
    ::getrlimit(RLIMIT_RTTIME, &rttime);
    const auto most = static_cast<rlim_t>(max_rttime_us);
    if (rttime.rlim_max == RLIM_INFINITY || rttime.rlim_max > most) {
        rttime.rlim_cur = most;
        rttime.rlim_max = most;
        if (::setrlimit(RLIMIT_RTTIME, &rttime) != 0) {
            why = translate("stelmo",
                            "cannot set RLIMIT_RTTIME for RealtimeKit: %1")(error_text(errno));
            return false;
        }
    }

    QDBusMessage make = QDBusMessage::createMethodCall(RTKIT_SERVICE, RTKIT_PATH, RTKIT_INTERFACE,
                                                       "MakeThreadRealtime");
    make << static_cast<qulonglong>(tid) << static_cast<uint>(granted);
    QDBusMessage reply;
    if (!rtkit_call(bus, make, deadline, reply, why))
        return false;
    if (policy_of(tid) != SCHED_RR && policy_of(tid) != SCHED_FIFO) {
        why = translate("stelmo", "RealtimeKit answered but the thread is not real-time")();
        return false;
    }
    return true;
}

// Bytes of thread-local storage that every thread keeps at the top of its
// stack: the TLS blocks of the program and the libraries loaded with it, and
// some room for libraries loaded later. A sanitizer's runtime alone can take
// most of a megabyte here.
std::size_t static_tls_size()
{
    std::size_t total = 0;
    ::dl_iterate_phdr(
        [](dl_phdr_info *info, std::size_t, void *sum) {
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_TLS)
                    *static_cast<std::size_t *>(sum) += info->dlpi_phdr[i].p_memsz;
            return 0;
        },
        &total);
    constexpr std::size_t SURPLUS = 16 * 1024; // glibc's reserve for later libraries, and more
    return total + SURPLUS;
}

} // namespace

Scheduling make_realtime(pthread_t thread, pid_t tid, std::string &text)
{
    const int error = realtime::make_thread_realtime(thread);
    if (error == 0) {
        text = translate("stelmo", "real-time (SCHED_FIFO %1)")(realtime::PRIORITY);
        return Scheduling::realtime;
    }
    std::string direct;
    if (error == EPERM) {
        rlimit rtprio{};
        ::getrlimit(RLIMIT_RTPRIO, &rtprio);
        direct = translate("stelmo", "SCHED_FIFO not permitted (RLIMIT_RTPRIO %1)")(
            limit_text(rtprio.rlim_cur));
    } else {
        direct = translate("stelmo", "SCHED_FIFO refused: %1")(error_text(error));
    }

    int granted = 0;
    std::string why;
    if (rtkit_make_realtime(tid, realtime::PRIORITY, granted, why)) {
        text = translate("stelmo", "real-time via RealtimeKit (SCHED_RR %1)")(granted);
        return Scheduling::realtime_rtkit;
    }
    text = translate("stelmo", "normal priority: %1, %2")(direct, why);
    return Scheduling::normal;
}

bool lock_all_memory(std::string &why_not)
{
    static std::once_flag once;
    static bool locked = false;
    static std::string why;
    std::call_once(once, [] {
        rlimit memlock{};
        ::getrlimit(RLIMIT_MEMLOCK, &memlock);
        if (memlock.rlim_cur != RLIM_INFINITY && !has_capability(CAP_IPC_LOCK)) {
            why = translate("stelmo", "RLIMIT_MEMLOCK is %1 KiB")(memlock.rlim_cur / 1024);
            return;
        }
        if (::mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
            why = "mlockall: " + error_text(errno);
            return;
        }
        locked = true;
    });
    why_not = why;
    return locked;
}

ThreadStack::ThreadStack(std::size_t size, bool lock)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    size_ = (size + static_tls_size() + page - 1) / page * page;
    mapping_size_ = size_ + page;
    // MAP_POPULATE faults every page in now, not on the tick path.
    void *mapping = ::mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_POPULATE, -1, 0);
    if (mapping == MAP_FAILED) {
        error_ = translate("stelmo", "cannot map a thread stack: %1")(error_text(errno));
        return;
    }
    mapping_ = mapping;
    // Stacks grow down: an overflow hits the guard page and faults at once
    // rather than writing over whatever lies below.
    if (::mprotect(mapping_, page, PROT_NONE) != 0) {
        error_ = translate("stelmo", "cannot protect the guard page of a thread stack: %1")(
            error_text(errno));
        return;
    }
    base_ = static_cast<char *>(mapping_) + page;
    if (lock) {
        if (::mlock(base_, size_) == 0)
            locked_ = true;
        else
            error_ = "mlock: " + error_text(errno);
    }
}

ThreadStack::~ThreadStack()
{
    if (mapping_)
        ::munmap(mapping_, mapping_size_);
}

} // namespace stelmo
