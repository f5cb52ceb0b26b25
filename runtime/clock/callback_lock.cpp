#include "runtime/clock/callback_lock.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace stelmo {

CallbackLock::CallbackLock()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Error checking turns a second lock on the same thread into EDEADLK
    // instead of a silent hang.
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    const int error = pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "cannot create the callback lock");
}

CallbackLock::~CallbackLock()
{
    pthread_mutex_destroy(&mutex_);
}

void CallbackLock::lock()
{
    const int error = pthread_mutex_lock(&mutex_);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "cannot take the callback lock");
    owner_.store(pthread_self(), std::memory_order_relaxed);
}

bool CallbackLock::try_lock()
{
    if (pthread_mutex_trylock(&mutex_) != 0)
        return false;
    owner_.store(pthread_self(), std::memory_order_relaxed);
    return true;
}

void CallbackLock::unlock()
{
    if (!held_by_caller()) {
        // The engine's own bookkeeping is broken; going on would let
        // callbacks overlap.
        std::fputs("stelmo: callback lock released by a thread that does not hold it\n", stderr);
        std::abort();
    }
    owner_.store(pthread_t{}, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex_);
}

bool CallbackLock::held_by_caller() const
{
    return pthread_equal(owner_.load(std::memory_order_relaxed), pthread_self()) != 0;
}

} // namespace stelmo
