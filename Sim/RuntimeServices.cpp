#include "Sim/RuntimeServices.h"

#include "Sim/AgentStack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace Sim {

namespace {

RuntimeServicesSim *gActive = nullptr;

RuntimeServicesSim &Active() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "simulated runtime services called with no active platform\n");
    std::abort();
  }
  return *gActive;
}

// Variable names are read with a bound, whatever the caller passes.
constexpr size_t kMaxNameLength = 1024;

bool ReadName(const CHAR16 *Name, std::u16string *Out) {
  Out->clear();
  for (size_t I = 0; I < kMaxNameLength; ++I) {
    if (Name[I] == 0) {
      return true;
    }
    Out->push_back(Name[I]);
  }
  return false;
}

std::string Narrow(const std::u16string &Text) {
  std::string Out;
  for (char16_t C : Text) {
    Out.push_back(C < 0x80 ? static_cast<char>(C) : '?');
  }
  return Out;
}

EFIAPI EFI_STATUS ThunkGetTime(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities) {
  return Active().GetTime(Time, Capabilities);
}
EFIAPI EFI_STATUS ThunkSetTime(EFI_TIME *) { return Active().Unsupported("SetTime"); }
EFIAPI EFI_STATUS ThunkGetWakeupTime(BOOLEAN *, BOOLEAN *, EFI_TIME *) {
  return Active().Unsupported("GetWakeupTime");
}
EFIAPI EFI_STATUS ThunkSetWakeupTime(BOOLEAN, EFI_TIME *) { return Active().Unsupported("SetWakeupTime"); }
EFIAPI EFI_STATUS ThunkSetVirtualAddressMap(UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR *) {
  return Active().Unsupported("SetVirtualAddressMap");
}
EFIAPI EFI_STATUS ThunkConvertPointer(UINTN, VOID **) { return Active().Unsupported("ConvertPointer"); }
EFIAPI EFI_STATUS ThunkGetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
  return Active().GetVariable(Name, Guid, Attributes, DataSize, Data);
}
EFIAPI EFI_STATUS ThunkGetNextVariableName(UINTN *NameSize, CHAR16 *Name, EFI_GUID *Guid) {
  return Active().GetNextVariableName(NameSize, Name, Guid);
}
EFIAPI EFI_STATUS ThunkSetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize, VOID *Data) {
  return Active().SetVariable(Name, Guid, Attributes, DataSize, Data);
}
EFIAPI EFI_STATUS ThunkGetNextHighMonotonicCount(UINT32 *) {
  return Active().Unsupported("GetNextHighMonotonicCount");
}
EFIAPI VOID ThunkResetSystem(EFI_RESET_TYPE Type, EFI_STATUS Status, UINTN, VOID *) {
  Active().ResetSystem(Type, Status);
}
EFIAPI EFI_STATUS ThunkUpdateCapsule(EFI_CAPSULE_HEADER **, UINTN, EFI_PHYSICAL_ADDRESS) {
  return Active().Unsupported("UpdateCapsule");
}
EFIAPI EFI_STATUS ThunkQueryCapsuleCapabilities(EFI_CAPSULE_HEADER **, UINTN, UINT64 *, EFI_RESET_TYPE *) {
  return Active().Unsupported("QueryCapsuleCapabilities");
}
EFIAPI EFI_STATUS ThunkQueryVariableInfo(UINT32 Attributes, UINT64 *MaximumStorage, UINT64 *Remaining,
                                         UINT64 *MaximumSize) {
  return Active().QueryVariableInfo(Attributes, MaximumStorage, Remaining, MaximumSize);
}

}  // namespace

//
// The store.
//

const Variable *VariableStore::Find(const std::u16string &Name, const EFI_GUID &Guid) const {
  auto It = Variables_.find({Name, GuidToString(Guid)});
  return It == Variables_.end() ? nullptr : &It->second.second;
}

void VariableStore::Set(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes,
                        std::vector<uint8_t> Data) {
  Variables_[{Name, GuidToString(Guid)}] = {Guid, Variable{Attributes, std::move(Data)}};
}

bool VariableStore::Erase(const std::u16string &Name, const EFI_GUID &Guid) {
  return Variables_.erase({Name, GuidToString(Guid)}) != 0;
}

void VariableStore::DropVolatile() {
  for (auto It = Variables_.begin(); It != Variables_.end();) {
    if ((It->second.second.Attributes & EFI_VARIABLE_NON_VOLATILE) == 0) {
      It = Variables_.erase(It);
    } else {
      ++It;
    }
  }
}

//
// The services.
//

RuntimeServicesSim::RuntimeServicesSim(VirtualClock &Clock, BootServicesSim &Boot, VariableStore &Variables,
                                       std::vector<ResetRecord> &Resets)
    : Clock_(Clock), Boot_(Boot), Variables_(Variables), Resets_(Resets) {
  std::memset(&Table_, 0, sizeof(Table_));
  Table_.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  Table_.Hdr.Revision = EFI_2_70_SYSTEM_TABLE_REVISION;
  Table_.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  Table_.GetTime = ThunkGetTime;
  Table_.SetTime = ThunkSetTime;
  Table_.GetWakeupTime = ThunkGetWakeupTime;
  Table_.SetWakeupTime = ThunkSetWakeupTime;
  Table_.SetVirtualAddressMap = ThunkSetVirtualAddressMap;
  Table_.ConvertPointer = ThunkConvertPointer;
  Table_.GetVariable = ThunkGetVariable;
  Table_.GetNextVariableName = ThunkGetNextVariableName;
  Table_.SetVariable = ThunkSetVariable;
  Table_.GetNextHighMonotonicCount = ThunkGetNextHighMonotonicCount;
  Table_.ResetSystem = ThunkResetSystem;
  Table_.UpdateCapsule = ThunkUpdateCapsule;
  Table_.QueryCapsuleCapabilities = ThunkQueryCapsuleCapabilities;
  Table_.QueryVariableInfo = ThunkQueryVariableInfo;
  Activate();
}

RuntimeServicesSim::~RuntimeServicesSim() {
  if (gActive == this) {
    gActive = nullptr;
  }
}

void RuntimeServicesSim::Activate() { gActive = this; }

void RuntimeServicesSim::FailCall(const std::string &Service, uint64_t Nth, EFI_STATUS Status) {
  Faults_[Service] = {Nth, Status};
}

size_t RuntimeServicesSim::Begin(const char *Service, EFI_TPL Limit, std::string Detail) {
  return Boot_.Begin(Service, Limit, std::move(Detail));
}

bool RuntimeServicesSim::TakeFault(const char *Service, EFI_STATUS *Status) {
  auto It = Faults_.find(Service);
  if (It == Faults_.end() || --It->second.Remaining != 0) {
    return false;
  }
  *Status = It->second.Status;
  Faults_.erase(It);
  return true;
}

EFI_STATUS RuntimeServicesSim::End(size_t Index, EFI_STATUS Status) { return Boot_.End(Index, Status); }

EFI_STATUS RuntimeServicesSim::Unsupported(const char *Service) {
  size_t Index = Begin(Service, TPL_HIGH_LEVEL, "");
  Boot_.Misuse(Service, "service not offered by the simulated platform");
  return End(Index, EFI_UNSUPPORTED);
}

EFI_STATUS RuntimeServicesSim::GetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize,
                                           VOID *Data) {
  std::u16string Key;
  const bool NameOk = Name != nullptr && ReadName(Name, &Key);
  size_t Index = Begin("GetVariable", TPL_CALLBACK, Narrow(Key));
  EFI_STATUS Status;
  if (TakeFault("GetVariable", &Status)) {
    return End(Index, Status);
  }
  if (Name == nullptr || Guid == nullptr || DataSize == nullptr || !NameOk) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const Variable *Found = Key.empty() ? nullptr : Variables_.Find(Key, *Guid);
  if (Found == nullptr) {
    return End(Index, EFI_NOT_FOUND);
  }
  if (*DataSize < Found->Data.size()) {
    *DataSize = Found->Data.size();
    if (Attributes != nullptr) {
      *Attributes = Found->Attributes;
    }
    return End(Index, EFI_BUFFER_TOO_SMALL);
  }
  if (Data == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  // An empty variable has no bytes to copy (and its vector no data pointer).
  if (!Found->Data.empty()) {
    std::memcpy(Data, Found->Data.data(), Found->Data.size());
  }
  *DataSize = Found->Data.size();
  if (Attributes != nullptr) {
    *Attributes = Found->Attributes;
  }
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS RuntimeServicesSim::GetNextVariableName(UINTN *NameSize, CHAR16 *Name, EFI_GUID *Guid) {
  size_t Index = Begin("GetNextVariableName", TPL_CALLBACK, "");
  std::u16string Current;
  if (NameSize == nullptr || Name == nullptr || Guid == nullptr || !ReadName(Name, &Current)) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const auto &All = Variables_.All();
  auto It = All.begin();
  if (!Current.empty()) {
    It = All.find({Current, GuidToString(*Guid)});
    if (It == All.end()) {
      return End(Index, EFI_INVALID_PARAMETER);
    }
    ++It;
  }
  if (It == All.end()) {
    return End(Index, EFI_NOT_FOUND);
  }
  const std::u16string &Next = It->first.first;
  const UINTN Needed = (Next.size() + 1) * sizeof(CHAR16);
  if (*NameSize < Needed) {
    *NameSize = Needed;
    return End(Index, EFI_BUFFER_TOO_SMALL);
  }
  std::memcpy(Name, Next.c_str(), Needed);
  *Guid = It->second.first;
  *NameSize = Needed;
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS RuntimeServicesSim::SetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize,
                                           VOID *Data) {
  std::u16string Key;
  const bool NameOk = Name != nullptr && ReadName(Name, &Key);
  size_t Index = Begin("SetVariable", TPL_CALLBACK, Narrow(Key) + " size=" + std::to_string(DataSize));
  EFI_STATUS Status;
  if (TakeFault("SetVariable", &Status)) {
    return End(Index, Status);
  }
  if (!NameOk || Key.empty() || Guid == nullptr || (DataSize != 0 && Data == nullptr)) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const UINT32 Unsupported = EFI_VARIABLE_HARDWARE_ERROR_RECORD | EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS |
                             EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
  if ((Attributes & Unsupported) != 0) {
    return End(Index, EFI_UNSUPPORTED);
  }
  if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 && (Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const bool Append = (Attributes & EFI_VARIABLE_APPEND_WRITE) != 0;
  const UINT32 Kept = Attributes & ~static_cast<UINT32>(EFI_VARIABLE_APPEND_WRITE);
  const Variable *Existing = Variables_.Find(Key, *Guid);
  // Deletion: no data, or no access attributes.
  if ((DataSize == 0 && !Append) || (Kept & (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                             EFI_VARIABLE_RUNTIME_ACCESS)) == 0) {
    if (Existing == nullptr) {
      return End(Index, EFI_NOT_FOUND);
    }
    Variables_.Erase(Key, *Guid);
    return End(Index, EFI_SUCCESS);
  }
  if (Existing != nullptr && Existing->Attributes != Kept) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  std::vector<uint8_t> NewData;
  if (Append && Existing != nullptr) {
    NewData = Existing->Data;
  }
  const auto *Bytes = static_cast<const uint8_t *>(Data);
  NewData.insert(NewData.end(), Bytes, Bytes + DataSize);
  if (NewData.size() > kMaxVariableSize) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  size_t Used = 0;
  for (const auto &Entry : Variables_.All()) {
    Used += Entry.second.second.Data.size();
  }
  if (Used - (Existing ? Existing->Data.size() : 0) + NewData.size() > kVariableStorageSize) {
    return End(Index, EFI_OUT_OF_RESOURCES);
  }
  Variables_.Set(Key, *Guid, Kept, std::move(NewData));
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS RuntimeServicesSim::QueryVariableInfo(UINT32, UINT64 *MaximumStorage, UINT64 *Remaining,
                                                 UINT64 *MaximumSize) {
  size_t Index = Begin("QueryVariableInfo", TPL_CALLBACK, "");
  if (MaximumStorage == nullptr || Remaining == nullptr || MaximumSize == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  size_t Used = 0;
  for (const auto &Entry : Variables_.All()) {
    Used += Entry.second.second.Data.size();
  }
  *MaximumStorage = kVariableStorageSize;
  *Remaining = kVariableStorageSize - Used;
  *MaximumSize = kMaxVariableSize;
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS RuntimeServicesSim::GetTime(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities) {
  size_t Index = Begin("GetTime", TPL_CALLBACK, "");
  if (Time == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  // The real-time clock started at 2026-01-01 00:00:00 UTC and follows the virtual clock.
  const std::time_t Base = 1767225600;
  const std::time_t Now = Base + static_cast<std::time_t>(Clock_.NowNs() / 1000000000u);
  std::tm Parts{};
  gmtime_r(&Now, &Parts);
  std::memset(Time, 0, sizeof(*Time));
  Time->Year = static_cast<UINT16>(Parts.tm_year + 1900);
  Time->Month = static_cast<UINT8>(Parts.tm_mon + 1);
  Time->Day = static_cast<UINT8>(Parts.tm_mday);
  Time->Hour = static_cast<UINT8>(Parts.tm_hour);
  Time->Minute = static_cast<UINT8>(Parts.tm_min);
  Time->Second = static_cast<UINT8>(Parts.tm_sec);
  Time->Nanosecond = static_cast<UINT32>(Clock_.NowNs() % 1000000000u);
  Time->TimeZone = 2047;  // EFI_UNSPECIFIED_TIMEZONE
  if (Capabilities != nullptr) {
    Capabilities->Resolution = 1;
    Capabilities->Accuracy = 50000000;
    Capabilities->SetsToZero = FALSE;
  }
  return End(Index, EFI_SUCCESS);
}

void RuntimeServicesSim::ResetSystem(EFI_RESET_TYPE Type, EFI_STATUS Status) {
  size_t Index = Begin("ResetSystem", TPL_HIGH_LEVEL, std::to_string(static_cast<int>(Type)));
  End(Index, EFI_SUCCESS);
  Resets_.push_back({Type, Status, Clock_.NowNs()});
  AgentStack::Abandon();
}

}  // namespace Sim
