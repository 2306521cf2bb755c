// The platform's ESRT management protocol: the repository of ESRT entries
// that the platform's ESRT driver keeps (non-volatile, like a variable, so it
// survives resets), reached through the protocol's six slots.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <Protocol/EsrtManagement.h>

#include "Sim/BootServices.h"
#include "Sim/Guid.h"

namespace Sim {

// The repository's contents, kept by the machine across boots.
struct EsrtStore {
  std::vector<EFI_SYSTEM_RESOURCE_ENTRY> Entries;  // in registration order
};

class EsrtRepository {
 public:
  static constexpr size_t kCapacity = 32;

  EsrtRepository(BootServicesSim &Boot, EsrtStore &Store);
  ~EsrtRepository();
  EsrtRepository(const EsrtRepository &) = delete;
  EsrtRepository &operator=(const EsrtRepository &) = delete;

  ESRT_MANAGEMENT_PROTOCOL *Protocol() { return &Protocol_; }
  void Activate();

  const std::vector<EFI_SYSTEM_RESOURCE_ENTRY> &Entries() const { return Store_.Entries; }
  const EFI_SYSTEM_RESOURCE_ENTRY *Find(const EFI_GUID &FwClass) const;
  // Puts an entry straight into the repository, as an earlier boot left it.
  void Seed(const EFI_SYSTEM_RESOURCE_ENTRY &Entry);

  // The Nth call from now (1 = the next one) of Slot ("GetEsrtEntry",
  // "UpdateEsrtEntry", "RegisterEsrtEntry", "UnRegisterEsrtEntry", ...)
  // fails with Status and changes nothing.
  void FailCall(const std::string &Slot, uint64_t Nth, EFI_STATUS Status);

  EFI_STATUS Get(EFI_GUID *FwClass, EFI_SYSTEM_RESOURCE_ENTRY *Entry);
  EFI_STATUS Update(EFI_SYSTEM_RESOURCE_ENTRY *Entry);
  EFI_STATUS Register(EFI_SYSTEM_RESOURCE_ENTRY *Entry);
  EFI_STATUS UnRegister(EFI_GUID *FwClass);
  EFI_STATUS Sync();
  EFI_STATUS Lock();

 private:
  size_t Begin(const char *Slot, const EFI_GUID *FwClass);
  bool TakeFault(const char *Slot, EFI_STATUS *Status);
  EFI_SYSTEM_RESOURCE_ENTRY *FindMutable(const EFI_GUID &FwClass);

  BootServicesSim &Boot_;
  EsrtStore &Store_;
  ESRT_MANAGEMENT_PROTOCOL Protocol_;
  bool Locked_ = false;
  struct InjectedFault {
    uint64_t Remaining;
    EFI_STATUS Status;
  };
  std::map<std::string, InjectedFault> Faults_;
};

}  // namespace Sim
