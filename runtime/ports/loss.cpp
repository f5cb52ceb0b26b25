#include "runtime/ports/loss.h"

namespace stelmo::ports {

namespace {

// --- state ------------------------------------------------------------------
// Who is told, set at start-up before any access.
LossHandler told = nullptr;
void *told_context = nullptr;

} // namespace

void on_hardware_lost(LossHandler handler, void *context)
{
    told = handler;
    told_context = context;
}

void hardware_lost()
{
    if (told)
        told(told_context);
}

} // namespace stelmo::ports
