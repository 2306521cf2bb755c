// Checks of a simulated boot after driver code ran on it.
#pragma once

#include <cstdint>

#include "Fuzz/Harness/FuzzInput.h"
#include "Sim/Platform.h"

namespace Fuzz {

// Boot-service misuse (double frees, foreign pointers, stale events) and
// services called above their TPL. One breach is the driver's known choice
// and not reported: camera discovery runs at TPL_NOTIFY and calls
// ConnectController there, which UEFI limits to TPL_CALLBACK (the discovery
// tests accept exactly that breach).
void CheckServices(Sim::Platform &Boot, Findings &Out);

// Pool allocated after the first AllocationsBefore allocations of the boot
// and still live, except Kept (a buffer the driver keeps for the rest of
// the boot, or null).
void CheckPoolReturned(Sim::Platform &Boot, uint64_t AllocationsBefore, const void *Kept, Findings &Out);

}  // namespace Fuzz
