// What survives a reset of the simulated machine: the non-volatile variable
// store, the ESRT repository, the USB devices plugged into its root ports
// (with their flash), the embedded controller's registers, the capsules
// waiting for the next boot and the record of every reset; and the settings
// every boot of the machine follows. Each
// simulated boot (Sim::Platform) runs on one Machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "Sim/EmbeddedController.h"
#include "Sim/EsrtRepository.h"
#include "Sim/RuntimeServices.h"
#include "Sim/SetupVariable.h"
#include "Sim/UsbBus.h"

namespace Sim {

struct Machine {
  VariableStore Variables;
  EsrtStore Esrt;
  UsbPortMap UsbPorts;
  EcStore Ec;
  // Capsules (header and payload each, e.g. from LoadCapsuleFile) handed to
  // the firmware for its next boot. A boot that finds any starts in
  // flash-update mode (BOOT_ON_FLASH_UPDATE) with a UEFI-capsule HOB for each,
  // in this order, as the PEI phase leaves them. When that boot ends in a
  // reset, the capsules it was handed are gone; a boot that ends without one
  // leaves them for the next boot.
  std::vector<std::vector<uint8_t>> PendingCapsules;
  std::vector<ResetRecord> Resets;
  uint64_t Boots = 0;

  // The size of the "Setup" variable a boot creates when the store lacks
  // it; std::nullopt: the platform creates none.
  std::optional<size_t> SetupVariableSize = kSetupVariableSize;
};

}  // namespace Sim
