#include "Sim/EsrtRepository.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace Sim {

namespace {

EsrtRepository *gActive = nullptr;

EsrtRepository &Active() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "ESRT management protocol called with no active repository\n");
    std::abort();
  }
  return *gActive;
}

EFIAPI EFI_STATUS ThunkGet(EFI_GUID *FwClass, EFI_SYSTEM_RESOURCE_ENTRY *Entry) {
  return Active().Get(FwClass, Entry);
}
EFIAPI EFI_STATUS ThunkUpdate(EFI_SYSTEM_RESOURCE_ENTRY *Entry) { return Active().Update(Entry); }
EFIAPI EFI_STATUS ThunkRegister(EFI_SYSTEM_RESOURCE_ENTRY *Entry) { return Active().Register(Entry); }
EFIAPI EFI_STATUS ThunkUnRegister(EFI_GUID *FwClass) { return Active().UnRegister(FwClass); }
EFIAPI EFI_STATUS ThunkSync(VOID) { return Active().Sync(); }
EFIAPI EFI_STATUS ThunkLock(VOID) { return Active().Lock(); }

}  // namespace

EsrtRepository::EsrtRepository(BootServicesSim &Boot, EsrtStore &Store) : Boot_(Boot), Store_(Store) {
  Protocol_.GetEsrtEntry = ThunkGet;
  Protocol_.UpdateEsrtEntry = ThunkUpdate;
  Protocol_.RegisterEsrtEntry = ThunkRegister;
  Protocol_.UnRegisterEsrtEntry = ThunkUnRegister;
  Protocol_.SyncEsrtFmp = ThunkSync;
  Protocol_.LockEsrtRepository = ThunkLock;
  Activate();
}

EsrtRepository::~EsrtRepository() {
  if (gActive == this) {
    gActive = nullptr;
  }
}

void EsrtRepository::Activate() { gActive = this; }

const EFI_SYSTEM_RESOURCE_ENTRY *EsrtRepository::Find(const EFI_GUID &FwClass) const {
  for (const auto &Entry : Store_.Entries) {
    if (Entry.FwClass == FwClass) {
      return &Entry;
    }
  }
  return nullptr;
}

EFI_SYSTEM_RESOURCE_ENTRY *EsrtRepository::FindMutable(const EFI_GUID &FwClass) {
  return const_cast<EFI_SYSTEM_RESOURCE_ENTRY *>(Find(FwClass));
}

void EsrtRepository::Seed(const EFI_SYSTEM_RESOURCE_ENTRY &Entry) {
  if (auto *Existing = FindMutable(Entry.FwClass)) {
    *Existing = Entry;
  } else {
    Store_.Entries.push_back(Entry);
  }
}

void EsrtRepository::FailCall(const std::string &Slot, uint64_t Nth, EFI_STATUS Status) {
  Faults_[Slot] = {Nth, Status};
}

size_t EsrtRepository::Begin(const char *Slot, const EFI_GUID *FwClass) {
  return Boot_.Begin(Slot, TPL_NOTIFY, FwClass ? GuidToString(*FwClass) : "");
}

bool EsrtRepository::TakeFault(const char *Slot, EFI_STATUS *Status) {
  auto It = Faults_.find(Slot);
  if (It == Faults_.end() || --It->second.Remaining != 0) {
    return false;
  }
  *Status = It->second.Status;
  Faults_.erase(It);
  return true;
}

EFI_STATUS EsrtRepository::Get(EFI_GUID *FwClass, EFI_SYSTEM_RESOURCE_ENTRY *Entry) {
  size_t Index = Begin("GetEsrtEntry", FwClass);
  EFI_STATUS Status;
  if (TakeFault("GetEsrtEntry", &Status)) {
    return Boot_.End(Index, Status);
  }
  if (FwClass == nullptr || Entry == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  const EFI_SYSTEM_RESOURCE_ENTRY *Found = Find(*FwClass);
  if (Found == nullptr) {
    return Boot_.End(Index, EFI_NOT_FOUND);
  }
  *Entry = *Found;
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS EsrtRepository::Update(EFI_SYSTEM_RESOURCE_ENTRY *Entry) {
  size_t Index = Begin("UpdateEsrtEntry", Entry ? &Entry->FwClass : nullptr);
  EFI_STATUS Status;
  if (TakeFault("UpdateEsrtEntry", &Status)) {
    return Boot_.End(Index, Status);
  }
  if (Entry == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  if (Locked_) {
    return Boot_.End(Index, EFI_ACCESS_DENIED);
  }
  EFI_SYSTEM_RESOURCE_ENTRY *Found = FindMutable(Entry->FwClass);
  if (Found == nullptr) {
    return Boot_.End(Index, EFI_NOT_FOUND);
  }
  *Found = *Entry;
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS EsrtRepository::Register(EFI_SYSTEM_RESOURCE_ENTRY *Entry) {
  size_t Index = Begin("RegisterEsrtEntry", Entry ? &Entry->FwClass : nullptr);
  EFI_STATUS Status;
  if (TakeFault("RegisterEsrtEntry", &Status)) {
    return Boot_.End(Index, Status);
  }
  if (Entry == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  if (Locked_) {
    return Boot_.End(Index, EFI_ACCESS_DENIED);
  }
  // One entry per firmware class.
  if (Find(Entry->FwClass) != nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  if (Store_.Entries.size() >= kCapacity) {
    return Boot_.End(Index, EFI_OUT_OF_RESOURCES);
  }
  Store_.Entries.push_back(*Entry);
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS EsrtRepository::UnRegister(EFI_GUID *FwClass) {
  size_t Index = Begin("UnRegisterEsrtEntry", FwClass);
  EFI_STATUS Status;
  if (TakeFault("UnRegisterEsrtEntry", &Status)) {
    return Boot_.End(Index, Status);
  }
  if (FwClass == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  if (Locked_) {
    return Boot_.End(Index, EFI_ACCESS_DENIED);
  }
  auto It = std::find_if(Store_.Entries.begin(), Store_.Entries.end(),
                         [&](const EFI_SYSTEM_RESOURCE_ENTRY &E) { return E.FwClass == *FwClass; });
  if (It == Store_.Entries.end()) {
    return Boot_.End(Index, EFI_NOT_FOUND);
  }
  Store_.Entries.erase(It);
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS EsrtRepository::Sync() {
  // The simulated platform has no firmware-management-protocol instances, so
  // there is nothing to bring into the repository.
  size_t Index = Begin("SyncEsrtFmp", nullptr);
  EFI_STATUS Status;
  if (TakeFault("SyncEsrtFmp", &Status)) {
    return Boot_.End(Index, Status);
  }
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS EsrtRepository::Lock() {
  size_t Index = Begin("LockEsrtRepository", nullptr);
  EFI_STATUS Status;
  if (TakeFault("LockEsrtRepository", &Status)) {
    return Boot_.End(Index, Status);
  }
  Locked_ = true;
  return Boot_.End(Index, EFI_SUCCESS);
}

}  // namespace Sim
