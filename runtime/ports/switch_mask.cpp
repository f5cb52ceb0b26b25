// The switch mask. Each read costs a compare and an AND; nothing allocates.
#include "runtime/ports/switch_mask.h"

namespace stelmo::ports {

SwitchMask::SwitchMask(std::unique_ptr<Backend> inner, std::uint8_t mask)
    : inner_(std::move(inner)), mask_(mask)
{
}

bool SwitchMask::read(std::uint16_t port, std::uint8_t &value)
{
    std::uint8_t raw = 0;
    return read_raw(port, value, raw);
}

bool SwitchMask::read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw)
{
    const bool done = inner_->read(port, value);
    raw = value;
    if (done && switch_register(port))
        value = static_cast<std::uint8_t>(value & mask_);
    return done;
}

} // namespace stelmo::ports
