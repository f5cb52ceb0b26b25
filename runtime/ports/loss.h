// Hardware that is gone for good: a backend that finds it cannot reach its
// device any more (the port helper died or stopped answering) says so here,
// and the engine switches every timer off and refuses to switch one on
// again. No Qt.
#pragma once

namespace stelmo::ports {

// What the engine does when the hardware is gone, with `context` as it was
// given. Called on the thread of the access that found it, which holds the
// engine's lock (accesses come only from callbacks).
using LossHandler = void (*)(void *context);

// Makes `handler` the one told; null: nobody. At start-up.
void on_hardware_lost(LossHandler handler, void *context);

// Tells the handler that the hardware is gone. Called by a backend, once.
void hardware_lost();

} // namespace stelmo::ports
