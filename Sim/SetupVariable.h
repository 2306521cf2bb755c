// The platform's "Setup" variable: its setup options, owned by the platform's
// setup code, non-volatile and reachable at runtime. Every boot creates it
// when the store lacks it, as a platform's setup driver writes its defaults,
// so it is there before any driver loads; once there, it lives in the
// machine's variable store like any other non-volatile variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <Uefi.h>

namespace Sim {

class VariableStore;

extern const EFI_GUID kSetupVariableGuid;  // {EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9}
constexpr char16_t kSetupVariableName[] = u"Setup";
constexpr size_t kSetupVariableSize = 2776;
constexpr uint32_t kSetupVariableAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// The contents the platform creates: not zeros but a fixed pattern (byte i is
// (151 * i + 89) mod 256), so that a caller which changes a byte it should
// have kept shows up in a comparison.
std::vector<uint8_t> DefaultSetupVariable(size_t Size);

// Creates "Setup" with Size bytes of default contents unless the store has
// it already (nothing when Size is empty). Returns whether it created it.
bool EnsureSetupVariable(VariableStore &Store, std::optional<size_t> Size);

}  // namespace Sim
