// The port monitor. Each access costs a compare or two and, when something
// changed, the observer's call; nothing allocates.
#include "runtime/ports/monitor.h"

namespace stelmo::ports {

Monitor::Monitor(std::unique_ptr<Backend> inner) : inner_(std::move(inner)) {}

bool Monitor::read(std::uint16_t port, std::uint8_t &value)
{
    const bool done = inner_->read(port, value);
    if (switch_register(port))
        note(activity_.switch_port, activity_.switch_value, activity_.switch_failed, port, value,
             !done);
    return done;
}

bool Monitor::write(std::uint16_t port, std::uint8_t value)
{
    const bool done = inner_->write(port, value);
    if (data_register(port))
        note(activity_.data_port, activity_.data_value, activity_.data_failed, port, value, !done);
    return done;
}

void Monitor::note(std::uint16_t &port, std::uint8_t &byte, bool &failed, std::uint16_t new_port,
                   std::uint8_t new_byte, bool new_failed)
{
    if (port == new_port && byte == new_byte && failed == new_failed)
        return;
    port = new_port;
    byte = new_byte;
    failed = new_failed;
    ++activity_.changes;
    if (observer_)
        observer_(observer_context_);
}

void Monitor::set_observer(void (*fn)(void *context), void *context)
{
    observer_ = fn;
    observer_context_ = context;
}

} // namespace stelmo::ports
