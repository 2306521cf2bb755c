#include "Sim/SetupVariable.h"

#include "Sim/RuntimeServices.h"

namespace Sim {

const EFI_GUID kSetupVariableGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

std::vector<uint8_t> DefaultSetupVariable(size_t Size) {
  std::vector<uint8_t> Data(Size);
  for (size_t I = 0; I < Size; ++I) {
    Data[I] = static_cast<uint8_t>(151 * I + 89);
  }
  return Data;
}

bool EnsureSetupVariable(VariableStore &Store, std::optional<size_t> Size) {
  if (!Size.has_value() || Store.Find(kSetupVariableName, kSetupVariableGuid) != nullptr) {
    return false;
  }
  Store.Set(kSetupVariableName, kSetupVariableGuid, kSetupVariableAttributes, DefaultSetupVariable(*Size));
  return true;
}

}  // namespace Sim
