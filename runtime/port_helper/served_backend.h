// What the port helper serves: any backend of its registry (port_helper.cpp),
// behind the same allow-list and the same protocol. A new kind of hardware (a
// GPIO chip, a USB adapter) is one file that defines a parse and an open
// function, and one line in the registry.
#pragma once

#include "runtime/ports/port_device.h"

#include <memory>
#include <string>
#include <string_view>

namespace stelmo::ports::helper {

// Why a backend did not open.
struct OpenFailure {
    int err = 0;     // errno of the failed open (EBUSY with a holder: in use)
    long holder = 0; // in use by the stelmo of this process id, -1 by one unknown; else 0
};

// One entry of the helper's registry.
struct ServedBackend {
    std::string_view prefix; // first word of the io setting, e.g. "port"
    // Parses a whole io value of this kind (prefix included) into the device
    // and the physical bases; false with `cause` saying what is wrong.
    bool (*parse)(std::string_view value, DeviceConfig &config, std::string &cause);
    // Opens what `config` names, for this process alone; null with `failure`.
    std::unique_ptr<Backend> (*open)(const DeviceConfig &config, OpenFailure &failure);
};

} // namespace stelmo::ports::helper
