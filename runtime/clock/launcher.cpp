// The launcher thread and the one request it serves at a time. Mutex and
// condition variable are static and never destroyed: the launcher waits on
// them until the process ends, and a condition variable destroyed at exit
// with a waiter would hang the exit.
#include "runtime/clock/launcher.h"

#include "runtime/base/realtime_policy.h"
#include "runtime/clock/realtime.h"
#include "runtime/ports/privilege.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace stelmo::launcher {

namespace {

// The launcher's stack (bytes, before room for thread-local storage): it only
// calls pthread_create.
constexpr std::size_t STACK_SIZE = 64 * 1024;
// As ps -L and /proc/<pid>/task/<tid>/comm show it.
constexpr const char *THREAD_NAME = "stelmo-launch";

// The launcher's start, on the stack of start() while it waits.
struct Start {
    bool done;       // the launcher has settled
    bool ok;         // ... real-time, with no capability
    std::string why; // ... else why not
};

// One thread to create, on the caller's stack while it waits.
struct Request {
    void *stack;
    std::size_t stack_size;
    void *(*run)(void *);
    void *argument;
    pthread_t thread;
    int result; // pthread_create's
    bool done;
};

// --- state ------------------------------------------------------------------
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER; // guards everything below
pthread_cond_t changed = PTHREAD_COND_INITIALIZER; // a start settled, a request came or was served
bool started = false;                              // start() was called
bool live = false;                                 // the launcher runs, real-time
Request *pending = nullptr;                        // the request being served; null while idle
ThreadStack *stack_kept = nullptr;                 // the running launcher's stack, never freed

// With `mutex` held, for ever: waits for a request and creates its thread.
[[noreturn]] void serve()
{
    for (;;) {
        while (!pending)
            pthread_cond_wait(&changed, &mutex);
        Request &request = *pending;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, request.stack, request.stack_size);
        pthread_attr_setinheritsched(&attributes, PTHREAD_INHERIT_SCHED);
        request.result =
            pthread_create(&request.thread, &attributes, request.run, request.argument);
        pthread_attr_destroy(&attributes);
        request.done = true;
        pending = nullptr;
        pthread_cond_broadcast(&changed);
    }
}

void *launcher_main(void *argument) noexcept
{
    Start &start = *static_cast<Start *>(argument);
    pthread_setname_np(pthread_self(), THREAD_NAME);
    std::string why;
    if (const int error = realtime::make_thread_realtime(pthread_self()))
        why = std::string(realtime::POLICY_NAME) + " " + std::to_string(realtime::PRIORITY) + ": " +
              std::strerror(error);
    else
        ports::drop_thread_capabilities(why);
    pthread_mutex_lock(&mutex);
    start.ok = why.empty();
    start.why = why;
    start.done = true;
    live = start.ok;
    pthread_cond_broadcast(&changed);
    if (live)
        serve();
    // Not real-time, or capabilities left: the thread ends, and with it
    // whatever it held.
    pthread_mutex_unlock(&mutex);
    return nullptr;
}

} // namespace

bool start(std::string &why)
{
    pthread_mutex_lock(&mutex);
    const bool again = started;
    started = true;
    pthread_mutex_unlock(&mutex);
    if (again) {
        why = "the launcher was started before";
        return running();
    }
    auto stack = std::make_unique<ThreadStack>(STACK_SIZE, false);
    if (!stack->mapped()) {
        why = stack->error();
        return false;
    }
    Start handshake{false, false, {}};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack->base(), stack->size());
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, &launcher_main, &handshake);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        why = std::strerror(error);
        return false;
    }
    pthread_mutex_lock(&mutex);
    while (!handshake.done)
        pthread_cond_wait(&changed, &mutex);
    pthread_mutex_unlock(&mutex);
    if (!handshake.ok) {
        pthread_join(thread, nullptr);
        why = handshake.why;
        return false;
    }
    pthread_detach(thread);
    pthread_mutex_lock(&mutex);
    stack_kept = stack.release();
    pthread_mutex_unlock(&mutex);
    return true;
}

bool running()
{
    pthread_mutex_lock(&mutex);
    const bool is_live = live;
    pthread_mutex_unlock(&mutex);
    return is_live;
}

int create_thread(pthread_t &thread, void *stack, std::size_t stack_size, void *(*run)(void *),
                  void *argument)
{
    Request request{stack, stack_size, run, argument, {}, 0, false};
    pthread_mutex_lock(&mutex);
    if (!live) {
        pthread_mutex_unlock(&mutex);
        return EAGAIN;
    }
    while (pending)
        pthread_cond_wait(&changed, &mutex);
    pending = &request;
    pthread_cond_broadcast(&changed);
    while (!request.done)
        pthread_cond_wait(&changed, &mutex);
    pthread_mutex_unlock(&mutex);
    thread = request.thread;
    return request.result;
}

} // namespace stelmo::launcher
