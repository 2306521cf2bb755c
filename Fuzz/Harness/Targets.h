// The four harnesses. Each turns one input into a run of driver code on
// exact-size buffers or on the simulated platform and returns what it found
// wrong besides what the sanitizers report themselves. The fuzz targets
// (Fuzz/*Fuzzer.cpp) abort on any finding so that libFuzzer keeps the input;
// the regression tests (Tests/Fuzz/) run kept inputs through the same code.
//
// Input layouts are described in each harness's source; every byte string is
// a valid input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Fuzz/Harness/FuzzInput.h"

namespace Fuzz {

// GetImageKind, GetImageVersionInfo, GetImageHeaderFormat,
// GetActiveSlotOffset, SwapImageHeader, ReadBigEndian32 and
// SearchUsb2DeviceDescriptor on one image, each held to its header's
// promises (outputs untouched on failure, the formats' rules).
Findings RunImageInput(const uint8_t *Data, size_t Size);

// RecoverSignedDigest on a signature of any size: the digest written only on
// success, oversized signatures refused, the digest the GMP model recovers.
Findings RunSignatureInput(const uint8_t *Data, size_t Size);

// One boot of the simulated platform in flash-update mode whose HOB list and
// capsules come from the input: the driver's entry point, the trigger, the
// capsule check (ProcessCapsuleHobs) up to its reset or its end. Pool left
// behind, pool or event misuse, TPL breaches and EC protocol violations are
// findings, and so is a boot that outlasts its budget of virtual time.
Findings RunCapsuleHobsInput(const uint8_t *Data, size_t Size);

// UpdateCameraFirmware with an image from the input against a camera whose
// answers the input alters (FuzzedCamera). Pool left behind or misused, TPL
// breaches, and an update that outlasts its budget of transfers or virtual
// time (a wait that would not end) are findings.
Findings RunUpdateInput(const uint8_t *Data, size_t Size);

// Fuzzers want the process to stop where a wait overran its budget, so that
// the report shows the driver's stack; tests want the run abandoned and the
// finding returned. Off (abandon) unless set.
void SetAbortOnBudget(bool Abort);

// Each boot and update harness prints one line about its run to stderr (the
// status, requests the camera saw, virtual time, whether it reset): for
// looking at what a seed or a kept input does. Off unless set.
void SetVerbose(bool Verbose);
bool Verbose();

}  // namespace Fuzz
