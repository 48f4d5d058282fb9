#include "interrupt.h"

#include <atomic>

namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<bool> requested(false);
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the interrupt flag must be settable from a signal handler");

}  // namespace

void RequestInterrupt()
{
    requested.store(true, std::memory_order_relaxed);
}

bool InterruptRequested()
{
    return requested.load(std::memory_order_relaxed);
}
