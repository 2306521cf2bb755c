// What survives a reset of the simulated machine: the non-volatile variable
// store, the ESRT repository, the USB devices plugged into its root ports
// (with their flash), the embedded controller's registers and the record of
// every reset. Each simulated
// boot (Sim::Platform) runs on one Machine.
#pragma once

#include <cstdint>
#include <vector>

#include "Sim/EmbeddedController.h"
#include "Sim/EsrtRepository.h"
#include "Sim/RuntimeServices.h"
#include "Sim/UsbBus.h"

namespace Sim {

struct Machine {
  VariableStore Variables;
  EsrtStore Esrt;
  UsbPortMap UsbPorts;
  EcStore Ec;
  std::vector<ResetRecord> Resets;
  uint64_t Boots = 0;
};

}  // namespace Sim
