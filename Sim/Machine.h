// What survives a reset of the simulated machine: the non-volatile variable
// store, the ESRT repository and the record of every reset. Each simulated
// boot (Sim::Platform) runs on one Machine.
#pragma once

#include <cstdint>
#include <vector>

#include "Sim/EsrtRepository.h"
#include "Sim/RuntimeServices.h"

namespace Sim {

struct Machine {
  VariableStore Variables;
  EsrtStore Esrt;
  std::vector<ResetRecord> Resets;
  uint64_t Boots = 0;
};

}  // namespace Sim
