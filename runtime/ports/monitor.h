// The port monitor: a backend that passes every access on to another one and
// keeps what the program last wrote to a data register and last read from a
// switch register, for the panel's status strip. open_backend() puts it on
// every backend, directly on it and under the trace, so the chain is the same
// whichever backend runs and whether or not a trace is kept; it passes results
// through unchanged, so either order would see the same bytes. A switch mask,
// where one is set, lies below it: the monitor sees the byte the program gets,
// and the raw one beside it.
#pragma once

#include "runtime/ports/ports.h"

#include <cstdint>
#include <memory>

namespace stelmo::ports {

// What the registers showed last. A plain struct: the GUI copies it whole.
struct PortActivity {
    std::uint16_t data_port = 0;   // data register written last (0x378 or 0x278); 0: none yet
    std::uint8_t data_value = 0;   // the byte written there
    bool data_failed = false;      // that write failed or was refused
    std::uint16_t switch_port = 0; // switch register read last (0x37a or 0x27a); 0: none yet
    std::uint8_t switch_value = 0; // the byte read there, as the program got it (after the
                                   // switch mask); 0xFF when the read failed
    std::uint8_t switch_raw = 0;   // the byte the port gave, before the switch mask
    bool switch_failed = false;    // that read failed
    std::uint64_t changes = 0;     // how often any field above changed
    std::uint64_t writes = 0;      // data-register writes in all
};

class Monitor : public Backend {
public:
    explicit Monitor(std::unique_ptr<Backend> inner);

    bool read(std::uint16_t port, std::uint8_t &value) override;
    bool read_raw(std::uint16_t port, std::uint8_t &value, std::uint8_t &raw) override;
    bool write(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t physical(std::uint16_t port) const override { return inner_->physical(port); }
    void watch_late_failures(LateFailures report, void *context) override
    {
        inner_->watch_late_failures(report, context);
    }

    // A copy of what was seen last. Accesses happen only inside the program's
    // callbacks, so take it with the engine's callback lock held, once per frame.
    PortActivity snapshot() const { return activity_; }

    // Called after an access that changed the snapshot, on the thread that
    // made the access (the tick thread, with the callback lock held): keep it
    // cheap, allocate nothing and wait for nothing, e.g. ask for a frame.
    // Null clears it. Set it with the callback lock held, or before any access.
    void set_observer(void (*fn)(void *context), void *context);

    // The monitored backend.
    Backend &inner() { return *inner_; }

private:
    void note(std::uint16_t &port, std::uint8_t &byte, bool &failed, std::uint16_t new_port,
              std::uint8_t new_byte, bool new_failed, bool changed = false);

    // --- state --------------------------------------------------------------
    std::unique_ptr<Backend> inner_;
    PortActivity activity_;
    void (*observer_)(void *) = nullptr;
    void *observer_context_ = nullptr;
};

} // namespace stelmo::ports
