// The simulated runtime services: variables with a non-volatile store that
// outlives a boot, and ResetSystem, which records the reset and ends the
// simulated boot.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <Uefi.h>

#include "Sim/BootServices.h"
#include "Sim/Guid.h"
#include "Sim/VirtualClock.h"

namespace Sim {

struct Variable {
  uint32_t Attributes;
  std::vector<uint8_t> Data;
};

// The variable store. Non-volatile variables survive a reset; volatile ones
// are dropped when a new boot starts.
class VariableStore {
 public:
  using Key = std::pair<std::u16string, std::string>;  // name, GUID text

  const Variable *Find(const std::u16string &Name, const EFI_GUID &Guid) const;
  void Set(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes, std::vector<uint8_t> Data);
  bool Erase(const std::u16string &Name, const EFI_GUID &Guid);
  void DropVolatile();
  const std::map<Key, std::pair<EFI_GUID, Variable>> &All() const { return Variables_; }

 private:
  std::map<Key, std::pair<EFI_GUID, Variable>> Variables_;
};

struct ResetRecord {
  EFI_RESET_TYPE Type;
  EFI_STATUS Status;
  uint64_t TimeNs;
  bool ByWatchdog = false;  // the platform's watchdog, not ResetSystem
  bool PowerCut = false;    // the machine lost its power (Platform::CutPowerAt)
};

class RuntimeServicesSim {
 public:
  RuntimeServicesSim(VirtualClock &Clock, BootServicesSim &Boot, VariableStore &Variables,
                     std::vector<ResetRecord> &Resets);
  RuntimeServicesSim(const RuntimeServicesSim &) = delete;
  RuntimeServicesSim &operator=(const RuntimeServicesSim &) = delete;
  ~RuntimeServicesSim();

  EFI_RUNTIME_SERVICES *Table() { return &Table_; }
  void Activate();

  // The Nth call from now (1 = the next one) of GetVariable or SetVariable
  // fails with Status and changes nothing.
  void FailCall(const std::string &Service, uint64_t Nth, EFI_STATUS Status);

  EFI_STATUS GetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID *Data);
  EFI_STATUS GetNextVariableName(UINTN *NameSize, CHAR16 *Name, EFI_GUID *Guid);
  EFI_STATUS SetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize, VOID *Data);
  EFI_STATUS QueryVariableInfo(UINT32 Attributes, UINT64 *MaximumStorage, UINT64 *Remaining, UINT64 *MaximumSize);
  EFI_STATUS GetTime(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities);
  // Records the reset in the machine and ends the boot: the platform code
  // that led here (run by Sim::AgentStack) is abandoned and never resumes.
  [[noreturn]] void ResetSystem(EFI_RESET_TYPE Type, EFI_STATUS Status);
  EFI_STATUS Unsupported(const char *Service);

 private:
  // Logs the call in the boot services' call log (one log for the whole
  // platform) and checks the TPL rule.
  size_t Begin(const char *Service, EFI_TPL Limit, std::string Detail);
  bool TakeFault(const char *Service, EFI_STATUS *Status);
  EFI_STATUS End(size_t Index, EFI_STATUS Status);

  VirtualClock &Clock_;
  BootServicesSim &Boot_;
  VariableStore &Variables_;
  std::vector<ResetRecord> &Resets_;
  EFI_RUNTIME_SERVICES Table_;
  struct InjectedFault {
    uint64_t Remaining;
    EFI_STATUS Status;
  };
  std::map<std::string, InjectedFault> Faults_;
};

// Limits of the simulated variable store.
constexpr size_t kMaxVariableSize = 64 * 1024;
constexpr size_t kVariableStorageSize = 1024 * 1024;

}  // namespace Sim
