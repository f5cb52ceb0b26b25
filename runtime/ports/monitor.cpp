// The port monitor. Each access costs a compare or two and, when something
// changed, the observer's call; nothing allocates.
#include "runtime/ports/monitor.h"

namespace stelmo::ports {

Monitor::Monitor(std::unique_ptr<Backend> inner) : inner_(std::move(inner)) {}

bool Monitor::read(std::uint16_t port, std::uint8_t &value)
{
    std::uint8_t raw = 0;
    return read_raw(port, value, raw);
}

bool Monitor::read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw)
{
    const bool done = inner_->read_raw(port, value, raw);
    if (switch_register(port)) {
        // The raw byte may change while the masked one stays.
        const bool raw_changed = activity_.switch_raw != raw;
        activity_.switch_raw = raw;
        note(activity_.switch_port, activity_.switch_value, activity_.switch_failed, port, value,
             !done, raw_changed);
    }
    return done;
}

bool Monitor::write(std::uint16_t port, std::uint8_t value)
{
    const bool done = inner_->write(port, value);
    if (data_register(port)) {
        ++activity_.writes;
        note(activity_.data_port, activity_.data_value, activity_.data_failed, port, value, !done);
    }
    return done;
}

void Monitor::note(std::uint16_t &port, std::uint8_t &byte, bool &failed, std::uint16_t new_port,
                   std::uint8_t new_byte, bool new_failed, bool changed)
{
    if (!changed && port == new_port && byte == new_byte && failed == new_failed)
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
