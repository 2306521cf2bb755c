// What survives a reset of the simulated machine: the non-volatile variable
// store, the ESRT repository, the USB devices plugged into its root ports
// (with their flash), the embedded controller's registers and the record of
// every reset; and the settings every boot of the machine follows. Each
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
  std::vector<ResetRecord> Resets;
  uint64_t Boots = 0;

  // The size of the "Setup" variable a boot creates when the store lacks
  // it; std::nullopt: the platform creates none.
  std::optional<size_t> SetupVariableSize = kSetupVariableSize;
};

}  // namespace Sim
