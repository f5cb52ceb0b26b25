// The switch mask: a backend that passes every access on to another one and
// ANDs each byte read from a switch register with a mask before the program
// gets it. Real ports often read 1 in bits that carry no switch (the upper
// bits of base + 2), so that the home switch reads 0xcd rather than 13; with
// the mask 0x0f it reads 13 again. open_backend() puts it directly on the
// backend, under the port monitor and the trace, so whichever backend runs
// (the simulated rig, the port helper), the program, the monitor, the strip
// and the trace all see the same masked byte, and the trace the raw one too.
#pragma once

#include "runtime/ports/ports.h"

#include <cstdint>
#include <memory>

namespace stelmo::ports {

// The bits the switch codes use: a mask must keep all of them, or one of the
// codes could never be read.
constexpr std::uint8_t SWITCH_CODE_BITS = SWITCH_HOME | SWITCH_FAR; // 0x0f

class SwitchMask : public Backend {
public:
    SwitchMask(std::unique_ptr<Backend> inner, std::uint8_t mask);

    bool read(std::uint16_t port, std::uint8_t &value) override;
    // A failed read is left as it is (PORT_NOTHING): masking it could turn
    // "nothing read" into a switch code.
    bool read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw) override;
    bool write(std::uint16_t port, std::uint8_t value) override
    {
        return inner_->write(port, value);
    }
    std::uint16_t physical(std::uint16_t port) const override { return inner_->physical(port); }
    int write_errno() const override { return inner_->write_errno(); }
    void watch_late_failures(LateFailures report, void *context) override
    {
        inner_->watch_late_failures(report, context);
    }

    // The masked backend.
    Backend &inner() { return *inner_; }

private:
    // --- state --------------------------------------------------------------
    std::unique_ptr<Backend> inner_;
    std::uint8_t mask_; // bits of a switch register's byte that reach the program
};

} // namespace stelmo::ports
