#include "Sim/BootServices.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <Protocol/DevicePath.h>

#include "Sim/DevicePathUtil.h"

namespace Sim {

namespace {

BootServicesSim *gActive = nullptr;

BootServicesSim &Active() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "simulated boot services called with no active platform\n");
    std::abort();
  }
  return *gActive;
}

// Largest pool request the simulator serves; larger ones fail as exhausted.
constexpr size_t kMaxPoolRequest = size_t(1) << 30;

// Fresh pool memory holds this pattern, so that code relying on zeroed pool
// shows up in tests.
constexpr int kPoolFillPattern = 0xAF;

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

//
// The table's functions: EFIAPI thunks onto the active instance.
//
EFIAPI EFI_TPL ThunkRaiseTpl(EFI_TPL NewTpl) { return Active().RaiseTpl(NewTpl); }
EFIAPI VOID ThunkRestoreTpl(EFI_TPL OldTpl) { Active().RestoreTpl(OldTpl); }
EFIAPI EFI_STATUS ThunkAllocatePages(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *) {
  return Active().Unsupported("AllocatePages");
}
EFIAPI EFI_STATUS ThunkFreePages(EFI_PHYSICAL_ADDRESS, UINTN) { return Active().Unsupported("FreePages"); }
EFIAPI EFI_STATUS ThunkGetMemoryMap(UINTN *, EFI_MEMORY_DESCRIPTOR *, UINTN *, UINTN *, UINT32 *) {
  return Active().Unsupported("GetMemoryMap");
}
EFIAPI EFI_STATUS ThunkAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  return Active().AllocatePool(PoolType, Size, Buffer);
}
EFIAPI EFI_STATUS ThunkFreePool(VOID *Buffer) { return Active().FreePool(Buffer); }
EFIAPI EFI_STATUS ThunkCreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                   VOID *NotifyContext, EFI_EVENT *Event) {
  return Active().CreateEvent(Type, NotifyTpl, NotifyFunction, NotifyContext, Event);
}
EFIAPI EFI_STATUS ThunkSetTimer(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime) {
  return Active().SetTimer(Event, Type, TriggerTime);
}
EFIAPI EFI_STATUS ThunkWaitForEvent(UINTN, EFI_EVENT *, UINTN *) { return Active().Unsupported("WaitForEvent"); }
EFIAPI EFI_STATUS ThunkSignalEvent(EFI_EVENT Event) { return Active().SignalEvent(Event); }
EFIAPI EFI_STATUS ThunkCloseEvent(EFI_EVENT Event) { return Active().CloseEvent(Event); }
EFIAPI EFI_STATUS ThunkCheckEvent(EFI_EVENT Event) { return Active().CheckEvent(Event); }
EFIAPI EFI_STATUS ThunkInstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                EFI_INTERFACE_TYPE InterfaceType, VOID *Interface) {
  return Active().InstallProtocolInterface(Handle, Protocol, InterfaceType, Interface);
}
EFIAPI EFI_STATUS ThunkReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *OldInterface,
                                                  VOID *NewInterface) {
  return Active().ReinstallProtocolInterface(Handle, Protocol, OldInterface, NewInterface);
}
EFIAPI EFI_STATUS ThunkUninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface) {
  return Active().UninstallProtocolInterface(Handle, Protocol, Interface);
}
EFIAPI EFI_STATUS ThunkHandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  return Active().HandleProtocol(Handle, Protocol, Interface);
}
EFIAPI EFI_STATUS ThunkRegisterProtocolNotify(EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration) {
  return Active().RegisterProtocolNotify(Protocol, Event, Registration);
}
EFIAPI EFI_STATUS ThunkLocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                    UINTN *BufferSize, EFI_HANDLE *Buffer) {
  return Active().LocateHandle(SearchType, Protocol, SearchKey, BufferSize, Buffer);
}
EFIAPI EFI_STATUS ThunkLocateDevicePath(EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                        EFI_HANDLE *Device) {
  return Active().LocateDevicePath(Protocol, DevicePath, Device);
}
EFIAPI EFI_STATUS ThunkInstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  return Active().InstallConfigurationTable(Guid, Table);
}
EFIAPI EFI_STATUS ThunkLoadImage(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *, VOID *, UINTN, EFI_HANDLE *) {
  return Active().Unsupported("LoadImage");
}
EFIAPI EFI_STATUS ThunkStartImage(EFI_HANDLE, UINTN *, CHAR16 **) { return Active().Unsupported("StartImage"); }
EFIAPI EFI_STATUS ThunkExit(EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *) { return Active().Unsupported("Exit"); }
EFIAPI EFI_STATUS ThunkUnloadImage(EFI_HANDLE) { return Active().Unsupported("UnloadImage"); }
EFIAPI EFI_STATUS ThunkExitBootServices(EFI_HANDLE, UINTN) { return Active().Unsupported("ExitBootServices"); }
EFIAPI EFI_STATUS ThunkGetNextMonotonicCount(UINT64 *Count) { return Active().GetNextMonotonicCount(Count); }
EFIAPI EFI_STATUS ThunkStall(UINTN Microseconds) { return Active().Stall(Microseconds); }
EFIAPI EFI_STATUS ThunkSetWatchdogTimer(UINTN, UINT64, UINTN, CHAR16 *) {
  return Active().Unsupported("SetWatchdogTimer");
}
EFIAPI EFI_STATUS ThunkConnectController(EFI_HANDLE ControllerHandle, EFI_HANDLE *DriverImageHandle,
                                         EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath, BOOLEAN Recursive) {
  return Active().ConnectController(ControllerHandle, DriverImageHandle, RemainingDevicePath, Recursive);
}
EFIAPI EFI_STATUS ThunkDisconnectController(EFI_HANDLE, EFI_HANDLE, EFI_HANDLE) {
  return Active().Unsupported("DisconnectController");
}
EFIAPI EFI_STATUS ThunkOpenProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE AgentHandle,
                                    EFI_HANDLE ControllerHandle, UINT32 Attributes) {
  return Active().OpenProtocol(Handle, Protocol, Interface, AgentHandle, ControllerHandle, Attributes);
}
EFIAPI EFI_STATUS ThunkCloseProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                     EFI_HANDLE ControllerHandle) {
  return Active().CloseProtocol(Handle, Protocol, AgentHandle, ControllerHandle);
}
EFIAPI EFI_STATUS ThunkOpenProtocolInformation(EFI_HANDLE, EFI_GUID *, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **,
                                               UINTN *) {
  return Active().Unsupported("OpenProtocolInformation");
}
EFIAPI EFI_STATUS ThunkProtocolsPerHandle(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer,
                                          UINTN *ProtocolBufferCount) {
  return Active().ProtocolsPerHandle(Handle, ProtocolBuffer, ProtocolBufferCount);
}
EFIAPI EFI_STATUS ThunkLocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                          UINTN *NoHandles, EFI_HANDLE **Buffer) {
  return Active().LocateHandleBuffer(SearchType, Protocol, SearchKey, NoHandles, Buffer);
}
EFIAPI EFI_STATUS ThunkLocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  return Active().LocateProtocol(Protocol, Registration, Interface);
}
EFIAPI EFI_STATUS ThunkInstallMultipleProtocolInterfaces(EFI_HANDLE *Handle, ...) {
  std::vector<std::pair<EFI_GUID *, VOID *>> Pairs;
  VA_LIST Args;
  VA_START(Args, Handle);
  for (;;) {
    EFI_GUID *Guid = VA_ARG(Args, EFI_GUID *);
    if (Guid == nullptr) {
      break;
    }
    VOID *Interface = VA_ARG(Args, VOID *);
    Pairs.emplace_back(Guid, Interface);
  }
  VA_END(Args);
  return Active().InstallMultiple(Handle, Pairs);
}
EFIAPI EFI_STATUS ThunkUninstallMultipleProtocolInterfaces(EFI_HANDLE Handle, ...) {
  std::vector<std::pair<EFI_GUID *, VOID *>> Pairs;
  VA_LIST Args;
  VA_START(Args, Handle);
  for (;;) {
    EFI_GUID *Guid = VA_ARG(Args, EFI_GUID *);
    if (Guid == nullptr) {
      break;
    }
    VOID *Interface = VA_ARG(Args, VOID *);
    Pairs.emplace_back(Guid, Interface);
  }
  VA_END(Args);
  return Active().UninstallMultiple(Handle, Pairs);
}
EFIAPI EFI_STATUS ThunkCalculateCrc32(VOID *Data, UINTN DataSize, UINT32 *Crc32) {
  return Active().CalculateCrc32(Data, DataSize, Crc32);
}
EFIAPI VOID ThunkCopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  Active().CopyMem(Destination, Source, Length);
}
EFIAPI VOID ThunkSetMem(VOID *Buffer, UINTN Size, UINT8 Value) { Active().SetMem(Buffer, Size, Value); }
EFIAPI EFI_STATUS ThunkCreateEventEx(UINT32, EFI_TPL, EFI_EVENT_NOTIFY, CONST VOID *, CONST EFI_GUID *,
                                     EFI_EVENT *) {
  return Active().Unsupported("CreateEventEx");
}

bool IsValidPoolType(EFI_MEMORY_TYPE Type) {
  const uint32_t Value = static_cast<uint32_t>(Type);
  if (Value >= 0x70000000u) {
    return true;  // OEM and OS-loader ranges
  }
  return Value < EfiMaxMemoryType && Type != EfiConventionalMemory && Type != EfiPersistentMemory &&
         Type != EfiUnacceptedMemoryType;
}

}  // namespace

BootServicesSim::BootServicesSim(VirtualClock &Clock) : Clock_(Clock) {
  std::memset(&Table_, 0, sizeof(Table_));
  Table_.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Table_.Hdr.Revision = EFI_2_70_SYSTEM_TABLE_REVISION;
  Table_.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  Table_.RaiseTPL = ThunkRaiseTpl;
  Table_.RestoreTPL = ThunkRestoreTpl;
  Table_.AllocatePages = ThunkAllocatePages;
  Table_.FreePages = ThunkFreePages;
  Table_.GetMemoryMap = ThunkGetMemoryMap;
  Table_.AllocatePool = ThunkAllocatePool;
  Table_.FreePool = ThunkFreePool;
  Table_.CreateEvent = ThunkCreateEvent;
  Table_.SetTimer = ThunkSetTimer;
  Table_.WaitForEvent = ThunkWaitForEvent;
  Table_.SignalEvent = ThunkSignalEvent;
  Table_.CloseEvent = ThunkCloseEvent;
  Table_.CheckEvent = ThunkCheckEvent;
  Table_.InstallProtocolInterface = ThunkInstallProtocolInterface;
  Table_.ReinstallProtocolInterface = ThunkReinstallProtocolInterface;
  Table_.UninstallProtocolInterface = ThunkUninstallProtocolInterface;
  Table_.HandleProtocol = ThunkHandleProtocol;
  Table_.RegisterProtocolNotify = ThunkRegisterProtocolNotify;
  Table_.LocateHandle = ThunkLocateHandle;
  Table_.LocateDevicePath = ThunkLocateDevicePath;
  Table_.InstallConfigurationTable = ThunkInstallConfigurationTable;
  Table_.LoadImage = ThunkLoadImage;
  Table_.StartImage = ThunkStartImage;
  Table_.Exit = ThunkExit;
  Table_.UnloadImage = ThunkUnloadImage;
  Table_.ExitBootServices = ThunkExitBootServices;
  Table_.GetNextMonotonicCount = ThunkGetNextMonotonicCount;
  Table_.Stall = ThunkStall;
  Table_.SetWatchdogTimer = ThunkSetWatchdogTimer;
  Table_.ConnectController = ThunkConnectController;
  Table_.DisconnectController = ThunkDisconnectController;
  Table_.OpenProtocol = ThunkOpenProtocol;
  Table_.CloseProtocol = ThunkCloseProtocol;
  Table_.OpenProtocolInformation = ThunkOpenProtocolInformation;
  Table_.ProtocolsPerHandle = ThunkProtocolsPerHandle;
  Table_.LocateHandleBuffer = ThunkLocateHandleBuffer;
  Table_.LocateProtocol = ThunkLocateProtocol;
  Table_.InstallMultipleProtocolInterfaces = ThunkInstallMultipleProtocolInterfaces;
  Table_.UninstallMultipleProtocolInterfaces = ThunkUninstallMultipleProtocolInterfaces;
  Table_.CalculateCrc32 = ThunkCalculateCrc32;
  Table_.CopyMem = ThunkCopyMem;
  Table_.SetMem = ThunkSetMem;
  Table_.CreateEventEx = ThunkCreateEventEx;
  Clock_.SetListener([this] { return NextTimerDeadline(); }, [this](uint64_t NowNs) { FireDueTimers(NowNs); });
  Activate();
}

BootServicesSim::~BootServicesSim() {
  Clock_.SetListener(nullptr, nullptr);
  // The boot is over: whatever the pool still holds goes with it.
  for (auto &Entry : Pool_) {
    std::free(Entry.first);
  }
  if (gActive == this) {
    gActive = nullptr;
  }
}

void BootServicesSim::Activate() { gActive = this; }

//
// Bookkeeping.
//

// The UEFI specification's TPL restrictions, as far as the simulator offers
// the services: the highest TPL each may be called at.
namespace TplLimit {
constexpr EFI_TPL Memory = TPL_NOTIFY;
constexpr EFI_TPL Event = TPL_NOTIFY;
constexpr EFI_TPL Signal = TPL_HIGH_LEVEL;
constexpr EFI_TPL ProtocolHandler = TPL_NOTIFY;
constexpr EFI_TPL DriverModel = TPL_CALLBACK;
constexpr EFI_TPL Any = TPL_HIGH_LEVEL;
}  // namespace TplLimit

void BootServicesSim::CheckTpl(const char *Service, EFI_TPL Limit) {
  if (CurrentTpl_ > Limit) {
    TplViolations_.push_back({Service, CurrentTpl_, Limit});
  }
}

size_t BootServicesSim::Begin(const char *Service, EFI_TPL Limit, std::string Detail) {
  CheckTpl(Service, Limit);
  Calls_.push_back({Service, CurrentTpl_, std::move(Detail), EFI_SUCCESS, Clock_.NowNs()});
  return Calls_.size() - 1;
}

bool BootServicesSim::TakeFault(const char *Service, EFI_STATUS *Status) {
  auto It = Faults_.find(Service);
  if (It == Faults_.end()) {
    return false;
  }
  if (It->second.Remaining > 1) {
    --It->second.Remaining;
    return false;
  }
  *Status = It->second.Status;
  if (--It->second.Times == 0) {
    Faults_.erase(It);
  }
  return true;
}

EFI_STATUS BootServicesSim::End(size_t Index, EFI_STATUS Status) {
  Calls_[Index].Status = Status;
  return Status;
}

void BootServicesSim::Misuse(const char *Service, const std::string &What) { Misuses_.push_back({Service, What}); }

size_t BootServicesSim::CountCalls(const std::string &Service) const {
  return static_cast<size_t>(
      std::count_if(Calls_.begin(), Calls_.end(), [&](const ServiceCall &C) { return C.Service == Service; }));
}

size_t BootServicesSim::CountCalls(const std::string &Service, const std::string &Detail) const {
  return static_cast<size_t>(std::count_if(Calls_.begin(), Calls_.end(), [&](const ServiceCall &C) {
    return C.Service == Service && C.Detail == Detail;
  }));
}

std::vector<PoolAllocation> BootServicesSim::LiveAllocations() const {
  std::vector<PoolAllocation> Live;
  for (const auto &Entry : Pool_) {
    Live.push_back(Entry.second);
  }
  std::sort(Live.begin(), Live.end(),
            [](const PoolAllocation &A, const PoolAllocation &B) { return A.Sequence < B.Sequence; });
  return Live;
}

void BootServicesSim::FailAllocation(uint64_t Nth) { FailAllocationAt_ = AllocationSequence_ + Nth; }

void BootServicesSim::FailCall(const std::string &Service, uint64_t Nth, EFI_STATUS Status, uint64_t Times) {
  Faults_[Service] = {Nth, Status, Times == 0 ? 1 : Times};
}

EFI_STATUS BootServicesSim::Unsupported(const char *Service) {
  size_t Index = Begin(Service, TplLimit::Any);
  Misuse(Service, "service not offered by the simulated platform");
  return End(Index, EFI_UNSUPPORTED);
}

BootServicesSim::HandleRecord *BootServicesSim::FindHandle(EFI_HANDLE Handle) const {
  if (Handle == nullptr) {
    return nullptr;
  }
  for (const auto &Record : Handles_) {
    if (Record.get() == Handle) {
      return Record.get();
    }
  }
  return nullptr;
}

bool BootServicesSim::IsValidHandle(EFI_HANDLE Handle) const { return FindHandle(Handle) != nullptr; }

std::string BootServicesSim::HandleName(EFI_HANDLE Handle) const {
  HandleRecord *Record = FindHandle(Handle);
  return Record ? "handle#" + std::to_string(Record->Id) : "handle?";
}

BootServicesSim::EventRecord *BootServicesSim::FindEvent(EFI_EVENT Event) const {
  auto It = Events_.find(static_cast<EventRecord *>(Event));
  return It == Events_.end() ? nullptr : It->second.get();
}

BootServicesSim::ProtocolEntry *BootServicesSim::FindProtocol(HandleRecord *Handle, const EFI_GUID &Guid) const {
  for (ProtocolEntry &Entry : Handle->Protocols) {
    if (Entry.Guid == Guid) {
      return &Entry;
    }
  }
  return nullptr;
}

const EFI_GUID *BootServicesSim::InternGuid(const EFI_GUID &Guid) {
  auto &Slot = GuidStore_[Guid];
  if (!Slot) {
    Slot = std::make_unique<EFI_GUID>(Guid);
  }
  return Slot.get();
}

std::vector<BootServicesSim::HandleRecord *> BootServicesSim::OrderedHandlesWith(const EFI_GUID &Guid) const {
  // Interfaces of one protocol are found in the order they were installed.
  std::vector<std::pair<uint64_t, HandleRecord *>> Found;
  for (const auto &Record : Handles_) {
    if (ProtocolEntry *Entry = FindProtocol(Record.get(), Guid)) {
      Found.emplace_back(Entry->InstallSequence, Record.get());
    }
  }
  std::sort(Found.begin(), Found.end());
  std::vector<HandleRecord *> Ordered;
  for (auto &Pair : Found) {
    Ordered.push_back(Pair.second);
  }
  return Ordered;
}

std::vector<EFI_HANDLE> BootServicesSim::HandlesWith(const EFI_GUID &Protocol) const {
  std::vector<EFI_HANDLE> Result;
  for (HandleRecord *Record : OrderedHandlesWith(Protocol)) {
    Result.push_back(Record);
  }
  return Result;
}

//
// Task priority and notification dispatch.
//

void BootServicesSim::QueueNotify(EventRecord *Event) {
  if (Event->Queued) {
    return;
  }
  Event->Queued = true;
  NotifyQueue_.push_back(Event);
}

void BootServicesSim::SignalInternal(EventRecord *Event) {
  if (Event->Signaled) {
    return;
  }
  Event->Signaled = true;
  if ((Event->Type & EVT_NOTIFY_SIGNAL) != 0) {
    QueueNotify(Event);
  }
}

void BootServicesSim::DispatchAbove(EFI_TPL Level) {
  // Run queued notifications whose TPL is above Level, highest TPL first and
  // in signal order within a TPL; each runs at its own TPL.
  for (;;) {
    auto Best = NotifyQueue_.end();
    for (auto It = NotifyQueue_.begin(); It != NotifyQueue_.end(); ++It) {
      if ((*It)->NotifyTpl > Level && (Best == NotifyQueue_.end() || (*It)->NotifyTpl > (*Best)->NotifyTpl)) {
        Best = It;
      }
    }
    if (Best == NotifyQueue_.end()) {
      return;
    }
    EventRecord *Event = *Best;
    NotifyQueue_.erase(Best);
    Event->Queued = false;
    if ((Event->Type & EVT_NOTIFY_SIGNAL) != 0) {
      Event->Signaled = false;
    }
    const EFI_TPL Saved = CurrentTpl_;
    const EFI_TPL NotifyTpl = Event->NotifyTpl;
    CurrentTpl_ = NotifyTpl;
    // The notify function may close its own event: nothing of Event is
    // touched after the call.
    Event->Notify(Event, Event->Context);
    // A notify function that returns at another TPL than it was called at
    // left a RaiseTPL or RestoreTPL unmatched; the dispatcher heals the TPL,
    // so record it here or it would go unseen.
    if (CurrentTpl_ != NotifyTpl) {
      TplViolations_.push_back({"notify function returned at another TPL", CurrentTpl_, NotifyTpl});
    }
    CurrentTpl_ = Saved;
  }
}

EFI_TPL BootServicesSim::RaiseTpl(EFI_TPL NewTpl) {
  size_t Index = Begin("RaiseTPL", TplLimit::Any, std::to_string(NewTpl));
  if (NewTpl < CurrentTpl_) {
    TplViolations_.push_back({"RaiseTPL below the current TPL", CurrentTpl_, NewTpl});
  }
  if (NewTpl > TPL_HIGH_LEVEL) {
    TplViolations_.push_back({"RaiseTPL above TPL_HIGH_LEVEL", NewTpl, TPL_HIGH_LEVEL});
  }
  const EFI_TPL Old = CurrentTpl_;
  CurrentTpl_ = NewTpl;
  End(Index, EFI_SUCCESS);
  return Old;
}

void BootServicesSim::RestoreTpl(EFI_TPL OldTpl) {
  size_t Index = Begin("RestoreTPL", TplLimit::Any, std::to_string(OldTpl));
  if (OldTpl > CurrentTpl_) {
    TplViolations_.push_back({"RestoreTPL above the current TPL", CurrentTpl_, OldTpl});
  }
  End(Index, EFI_SUCCESS);
  DispatchAbove(OldTpl);
  CurrentTpl_ = OldTpl;
}

//
// Pool.
//

EFI_STATUS BootServicesSim::AllocateFromPool(const char *Service, size_t Size, void **Buffer) {
  ++AllocationSequence_;
  if (FailAllocationAt_ != 0 && AllocationSequence_ == FailAllocationAt_) {
    FailAllocationAt_ = 0;
    return EFI_OUT_OF_RESOURCES;
  }
  if (Size > kMaxPoolRequest) {
    return EFI_OUT_OF_RESOURCES;
  }
  void *Memory = std::malloc(Size == 0 ? 1 : Size);
  if (Memory == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memset(Memory, kPoolFillPattern, Size == 0 ? 1 : Size);
  Pool_[Memory] = {Memory, Size, EfiBootServicesData, AllocationSequence_};
  LivePoolBytes_ += Size;
  PeakPoolBytes_ = std::max(PeakPoolBytes_, LivePoolBytes_);
  (void)Service;
  *Buffer = Memory;
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  size_t Index = Begin("AllocatePool", TplLimit::Memory, std::to_string(Size));
  EFI_STATUS Status;
  if (TakeFault("AllocatePool", &Status)) {
    return End(Index, Status);
  }
  if (Buffer == nullptr || !IsValidPoolType(PoolType)) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  Status = AllocateFromPool("AllocatePool", Size, Buffer);
  if (!EFI_ERROR(Status)) {
    Pool_[*Buffer].Type = PoolType;
  }
  return End(Index, Status);
}

EFI_STATUS BootServicesSim::FreePool(VOID *Buffer) {
  size_t Index = Begin("FreePool", TplLimit::Memory);
  if (Buffer == nullptr) {
    Misuse("FreePool", "FreePool(NULL)");
    return End(Index, EFI_INVALID_PARAMETER);
  }
  auto It = Pool_.find(Buffer);
  if (It == Pool_.end()) {
    Misuse("FreePool", "buffer not allocated from pool (double free or foreign pointer)");
    return End(Index, EFI_INVALID_PARAMETER);
  }
  LivePoolBytes_ -= It->second.Size;
  std::free(It->first);
  Pool_.erase(It);
  return End(Index, EFI_SUCCESS);
}

//
// Events and timers.
//

EFI_STATUS BootServicesSim::CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                        VOID *NotifyContext, EFI_EVENT *Event) {
  size_t Index = Begin("CreateEvent", TplLimit::Event, "type=" + Hex(Type) + " tpl=" + std::to_string(NotifyTpl));
  EFI_STATUS Status;
  if (TakeFault("CreateEvent", &Status)) {
    return End(Index, Status);
  }
  if (Event == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const UINT32 Known = EVT_TIMER | EVT_RUNTIME | EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL;
  const bool Special = Type == EVT_SIGNAL_EXIT_BOOT_SERVICES || Type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE;
  if (!Special && (Type & ~Known) != 0) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const bool Wait = (Type & EVT_NOTIFY_WAIT) != 0;
  const bool Signal = (Type & EVT_NOTIFY_SIGNAL) != 0;
  if (Wait && Signal) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  if ((Wait || Signal) && (NotifyFunction == nullptr || NotifyTpl <= TPL_APPLICATION || NotifyTpl > TPL_HIGH_LEVEL)) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  auto Record = std::make_unique<EventRecord>();
  Record->Type = Type;
  Record->NotifyTpl = NotifyTpl;
  Record->Notify = NotifyFunction;
  Record->Context = NotifyContext;
  EventRecord *Raw = Record.get();
  Events_[Raw] = std::move(Record);
  *Event = Raw;
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::SetTimer(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime) {
  size_t Index = Begin("SetTimer", TplLimit::Signal, std::to_string(TriggerTime));
  EventRecord *Record = FindEvent(Event);
  if (Record == nullptr || (Record->Type & EVT_TIMER) == 0 || Type > TimerRelative) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  if (Type == TimerCancel) {
    Record->TimerArmed = false;
    return End(Index, EFI_SUCCESS);
  }
  // TriggerTime counts 100 ns units; 0 fires as soon as time moves on.
  const uint64_t DelayNs = std::max<uint64_t>(TriggerTime * 100, 1);
  Record->TimerArmed = true;
  Record->TimerDueNs = Clock_.NowNs() + DelayNs;
  Record->TimerPeriodNs = Type == TimerPeriodic ? DelayNs : 0;
  return End(Index, EFI_SUCCESS);
}

void BootServicesSim::ScheduleHardwareEvent(uint64_t AtNs, std::function<void()> Action) {
  HardwareEvents_.emplace(AtNs, std::move(Action));
}

uint64_t BootServicesSim::NextTimerDeadline() const {
  uint64_t Next = HardwareEvents_.empty() ? UINT64_MAX : HardwareEvents_.begin()->first;
  for (const auto &Entry : Events_) {
    if (Entry.second->TimerArmed) {
      Next = std::min(Next, Entry.second->TimerDueNs);
    }
  }
  return Next;
}

void BootServicesSim::FireDueTimers(uint64_t NowNs) {
  // Hardware first, in time order; an action may schedule more.
  while (!HardwareEvents_.empty() && HardwareEvents_.begin()->first <= NowNs) {
    std::function<void()> Action = std::move(HardwareEvents_.begin()->second);
    HardwareEvents_.erase(HardwareEvents_.begin());
    Action();
  }
  bool Any = false;
  for (auto &Entry : Events_) {
    EventRecord *Record = Entry.second.get();
    if (!Record->TimerArmed || Record->TimerDueNs > NowNs) {
      continue;
    }
    if (Record->TimerPeriodNs != 0) {
      // Missed periods collapse into one signal, as a late timer tick does.
      const uint64_t Missed = (NowNs - Record->TimerDueNs) / Record->TimerPeriodNs;
      Record->TimerDueNs += (Missed + 1) * Record->TimerPeriodNs;
    } else {
      Record->TimerArmed = false;
    }
    SignalInternal(Record);
    Any = true;
  }
  if (Any) {
    DispatchAbove(CurrentTpl_);
  }
}

EFI_STATUS BootServicesSim::SignalEvent(EFI_EVENT Event) {
  size_t Index = Begin("SignalEvent", TplLimit::Signal);
  EventRecord *Record = FindEvent(Event);
  if (Record == nullptr) {
    Misuse("SignalEvent", "unknown or closed event");
    return End(Index, EFI_INVALID_PARAMETER);
  }
  SignalInternal(Record);
  End(Index, EFI_SUCCESS);
  DispatchAbove(CurrentTpl_);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::CloseEvent(EFI_EVENT Event) {
  size_t Index = Begin("CloseEvent", TplLimit::Event);
  EventRecord *Record = FindEvent(Event);
  if (Record == nullptr) {
    Misuse("CloseEvent", "unknown or closed event");
    return End(Index, EFI_INVALID_PARAMETER);
  }
  NotifyQueue_.remove(Record);
  // Closing an event also ends its protocol-notify registrations.
  Registrations_.remove_if([Record](const std::unique_ptr<NotifyRegistration> &R) { return R->Event == Record; });
  Events_.erase(Record);
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::CheckEvent(EFI_EVENT Event) {
  size_t Index = Begin("CheckEvent", TplLimit::Event);
  EventRecord *Record = FindEvent(Event);
  if (Record == nullptr || (Record->Type & EVT_NOTIFY_SIGNAL) != 0) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  if (!Record->Signaled && (Record->Type & EVT_NOTIFY_WAIT) != 0) {
    QueueNotify(Record);
    DispatchAbove(CurrentTpl_);
  }
  if (Record->Signaled) {
    Record->Signaled = false;
    return End(Index, EFI_SUCCESS);
  }
  return End(Index, EFI_NOT_READY);
}

//
// Protocol database.
//

void BootServicesSim::NotifyInstall(const EFI_GUID &Guid, HandleRecord *Handle) {
  for (auto &Registration : Registrations_) {
    if (Registration->Guid == Guid) {
      Registration->Pending.push_back(Handle);
      SignalInternal(Registration->Event);
    }
  }
}

EFI_STATUS BootServicesSim::InstallOne(EFI_HANDLE *Handle, const EFI_GUID &Protocol, VOID *Interface) {
  HandleRecord *Record = nullptr;
  if (*Handle != nullptr) {
    Record = FindHandle(*Handle);
    if (Record == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (FindProtocol(Record, Protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    Handles_.push_back(std::make_unique<HandleRecord>());
    Record = Handles_.back().get();
    Record->Id = NextHandleId_++;
  }
  Record->Protocols.push_back({Protocol, Interface, ++InstallSequence_});
  *Handle = Record;
  NotifyInstall(Protocol, Record);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::UninstallOne(EFI_HANDLE Handle, const EFI_GUID &Protocol, VOID *Interface) {
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto It = std::find_if(Record->Protocols.begin(), Record->Protocols.end(),
                         [&](const ProtocolEntry &E) { return E.Guid == Protocol && E.Interface == Interface; });
  if (It == Record->Protocols.end()) {
    return EFI_NOT_FOUND;
  }
  Record->Protocols.erase(It);
  if (Record->Protocols.empty()) {
    // A handle without protocols ceases to exist.
    for (auto &Registration : Registrations_) {
      Registration->Pending.remove(Record);
    }
    // The record is kept, out of the database, for the rest of the boot: its
    // address never names a later handle, so a stale handle stays invalid
    // whatever the heap hands out next.
    auto Gone = std::find_if(Handles_.begin(), Handles_.end(),
                             [Record](const std::unique_ptr<HandleRecord> &H) { return H.get() == Record; });
    RetiredHandles_.push_back(std::move(*Gone));
    Handles_.erase(Gone);
  } else {
    for (auto &Registration : Registrations_) {
      if (Registration->Guid == Protocol) {
        Registration->Pending.remove(Record);
      }
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                     EFI_INTERFACE_TYPE Type, VOID *Interface) {
  size_t Index = Begin("InstallProtocolInterface", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  EFI_STATUS Status;
  if (TakeFault("InstallProtocolInterface", &Status)) {
    return End(Index, Status);
  }
  if (Handle == nullptr || Protocol == nullptr || Type != EFI_NATIVE_INTERFACE) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  Status = InstallOne(Handle, *Protocol, Interface);
  End(Index, Status);
  // Protocol notifications run once the install is complete.
  DispatchAbove(CurrentTpl_);
  return Status;
}

EFI_STATUS BootServicesSim::InstallMultiple(EFI_HANDLE *Handle,
                                            const std::vector<std::pair<EFI_GUID *, VOID *>> &Pairs) {
  size_t Index = Begin("InstallMultipleProtocolInterfaces", TplLimit::ProtocolHandler);
  if (Handle == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const EFI_HANDLE Original = *Handle;
  EFI_HANDLE Working = Original;
  size_t Done = 0;
  EFI_STATUS Status = EFI_SUCCESS;
  for (; Done < Pairs.size(); ++Done) {
    Status = InstallOne(&Working, *Pairs[Done].first, Pairs[Done].second);
    if (EFI_ERROR(Status)) {
      break;
    }
  }
  if (EFI_ERROR(Status)) {
    // All or nothing: take back what was installed.
    while (Done-- > 0) {
      UninstallOne(Working, *Pairs[Done].first, Pairs[Done].second);
    }
    *Handle = Original;
    return End(Index, Status);
  }
  *Handle = Working;
  End(Index, EFI_SUCCESS);
  DispatchAbove(CurrentTpl_);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::ReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *OldInterface,
                                                       VOID *NewInterface) {
  size_t Index =
      Begin("ReinstallProtocolInterface", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr || Protocol == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  ProtocolEntry *Entry = FindProtocol(Record, *Protocol);
  if (Entry == nullptr || Entry->Interface != OldInterface) {
    return End(Index, EFI_NOT_FOUND);
  }
  Entry->Interface = NewInterface;
  Entry->InstallSequence = ++InstallSequence_;
  // A reinstall is an uninstall and an install: a registration that has not
  // yet handed out this handle hands it out once, with the new interface.
  for (auto &Registration : Registrations_) {
    if (Registration->Guid == *Protocol) {
      Registration->Pending.remove(Record);
    }
  }
  NotifyInstall(*Protocol, Record);
  End(Index, EFI_SUCCESS);
  DispatchAbove(CurrentTpl_);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface) {
  size_t Index =
      Begin("UninstallProtocolInterface", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  if (Protocol == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  return End(Index, UninstallOne(Handle, *Protocol, Interface));
}

EFI_STATUS BootServicesSim::UninstallMultiple(EFI_HANDLE Handle,
                                              const std::vector<std::pair<EFI_GUID *, VOID *>> &Pairs) {
  size_t Index = Begin("UninstallMultipleProtocolInterfaces", TplLimit::ProtocolHandler);
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  // All or nothing: every pair must be present before any is removed.
  for (const auto &Pair : Pairs) {
    ProtocolEntry *Entry = FindProtocol(Record, *Pair.first);
    if (Entry == nullptr || Entry->Interface != Pair.second) {
      return End(Index, EFI_INVALID_PARAMETER);
    }
  }
  for (const auto &Pair : Pairs) {
    UninstallOne(Handle, *Pair.first, Pair.second);
  }
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  size_t Index = Begin("HandleProtocol", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  EFI_STATUS Status;
  if (TakeFault("HandleProtocol", &Status)) {
    return End(Index, Status);
  }
  if (Interface == nullptr || Protocol == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  *Interface = nullptr;
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  ProtocolEntry *Entry = FindProtocol(Record, *Protocol);
  if (Entry == nullptr) {
    return End(Index, EFI_UNSUPPORTED);
  }
  *Interface = Entry->Interface;
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::OpenProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE,
                                         EFI_HANDLE, UINT32 Attributes) {
  size_t Index = Begin("OpenProtocol", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  const UINT32 Simple =
      EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL | EFI_OPEN_PROTOCOL_GET_PROTOCOL | EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
  if ((Attributes & ~Simple) != 0) {
    // Driver-model opens (BY_DRIVER, EXCLUSIVE, BY_CHILD_CONTROLLER) are not simulated.
    Misuse("OpenProtocol", "driver-model open attributes are not simulated");
    return End(Index, EFI_UNSUPPORTED);
  }
  if (Protocol == nullptr || (Interface == nullptr && Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  ProtocolEntry *Entry = FindProtocol(Record, *Protocol);
  if (Interface != nullptr && Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
    *Interface = Entry ? Entry->Interface : nullptr;
  }
  return End(Index, Entry ? EFI_SUCCESS : EFI_UNSUPPORTED);
}

EFI_STATUS BootServicesSim::CloseProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, EFI_HANDLE, EFI_HANDLE) {
  size_t Index = Begin("CloseProtocol", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr || Protocol == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  return End(Index, FindProtocol(Record, *Protocol) ? EFI_SUCCESS : EFI_NOT_FOUND);
}

EFI_STATUS BootServicesSim::ProtocolsPerHandle(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer,
                                               UINTN *ProtocolBufferCount) {
  size_t Index = Begin("ProtocolsPerHandle", TplLimit::ProtocolHandler);
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr || ProtocolBuffer == nullptr || ProtocolBufferCount == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  void *Memory = nullptr;
  EFI_STATUS Status = AllocateFromPool("ProtocolsPerHandle", Record->Protocols.size() * sizeof(EFI_GUID *), &Memory);
  if (EFI_ERROR(Status)) {
    return End(Index, Status);
  }
  EFI_GUID **Array = static_cast<EFI_GUID **>(Memory);
  for (size_t I = 0; I < Record->Protocols.size(); ++I) {
    Array[I] = const_cast<EFI_GUID *>(InternGuid(Record->Protocols[I].Guid));
  }
  *ProtocolBuffer = Array;
  *ProtocolBufferCount = Record->Protocols.size();
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::RegisterProtocolNotify(EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration) {
  size_t Index = Begin("RegisterProtocolNotify", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  EFI_STATUS Status;
  if (TakeFault("RegisterProtocolNotify", &Status)) {
    return End(Index, Status);
  }
  EventRecord *Record = FindEvent(Event);
  if (Protocol == nullptr || Record == nullptr || Registration == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  auto Entry = std::make_unique<NotifyRegistration>();
  Entry->Guid = *Protocol;
  Entry->Event = Record;
  *Registration = Entry.get();
  Registrations_.push_back(std::move(Entry));
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::LocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                         UINTN *BufferSize, EFI_HANDLE *Buffer) {
  size_t Index = Begin("LocateHandle", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  if (BufferSize == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  std::vector<EFI_HANDLE> Found;
  NotifyRegistration *Registration = nullptr;
  switch (SearchType) {
    case AllHandles:
      for (const auto &Record : Handles_) {
        Found.push_back(Record.get());
      }
      break;
    case ByProtocol:
      if (Protocol == nullptr) {
        return End(Index, EFI_INVALID_PARAMETER);
      }
      Found = HandlesWith(*Protocol);
      break;
    case ByRegisterNotify:
      for (auto &R : Registrations_) {
        if (R.get() == SearchKey) {
          Registration = R.get();
        }
      }
      if (Registration == nullptr) {
        return End(Index, EFI_INVALID_PARAMETER);
      }
      // One newly installed handle per call.
      if (!Registration->Pending.empty()) {
        Found.push_back(Registration->Pending.front());
      }
      break;
    default:
      return End(Index, EFI_INVALID_PARAMETER);
  }
  if (Found.empty()) {
    return End(Index, EFI_NOT_FOUND);
  }
  const UINTN Needed = Found.size() * sizeof(EFI_HANDLE);
  if (*BufferSize < Needed) {
    *BufferSize = Needed;
    return End(Index, EFI_BUFFER_TOO_SMALL);
  }
  if (Buffer == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  std::copy(Found.begin(), Found.end(), Buffer);
  *BufferSize = Needed;
  if (Registration != nullptr) {
    Registration->Pending.pop_front();
  }
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol,
                                               VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer) {
  size_t Index = Begin("LocateHandleBuffer", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  EFI_STATUS Status;
  if (TakeFault("LocateHandleBuffer", &Status)) {
    return End(Index, Status);
  }
  if (NoHandles == nullptr || Buffer == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  *NoHandles = 0;
  *Buffer = nullptr;
  std::vector<EFI_HANDLE> Found;
  if (SearchType == AllHandles) {
    for (const auto &Record : Handles_) {
      Found.push_back(Record.get());
    }
  } else if (SearchType == ByProtocol && Protocol != nullptr) {
    Found = HandlesWith(*Protocol);
  } else if (SearchType == ByRegisterNotify) {
    auto It = std::find_if(Registrations_.begin(), Registrations_.end(),
                           [&](const std::unique_ptr<NotifyRegistration> &R) { return R.get() == SearchKey; });
    if (It == Registrations_.end()) {
      return End(Index, EFI_INVALID_PARAMETER);
    }
    if (!(*It)->Pending.empty()) {
      Found.push_back((*It)->Pending.front());
      (*It)->Pending.pop_front();
    }
  } else {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  if (Found.empty()) {
    return End(Index, EFI_NOT_FOUND);
  }
  void *Memory = nullptr;
  Status = AllocateFromPool("LocateHandleBuffer", Found.size() * sizeof(EFI_HANDLE), &Memory);
  if (EFI_ERROR(Status)) {
    return End(Index, Status);
  }
  std::copy(Found.begin(), Found.end(), static_cast<EFI_HANDLE *>(Memory));
  *Buffer = static_cast<EFI_HANDLE *>(Memory);
  *NoHandles = Found.size();
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::LocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  size_t Index = Begin("LocateProtocol", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  EFI_STATUS Status;
  if (TakeFault("LocateProtocol", &Status)) {
    return End(Index, Status);
  }
  if (Interface == nullptr || Protocol == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  *Interface = nullptr;
  if (Registration != nullptr) {
    // The next interface installed since the registration or the last call.
    for (auto &R : Registrations_) {
      if (R.get() != Registration) {
        continue;
      }
      while (!R->Pending.empty()) {
        HandleRecord *Record = FindHandle(R->Pending.front());
        R->Pending.pop_front();
        ProtocolEntry *Entry = Record ? FindProtocol(Record, *Protocol) : nullptr;
        if (Entry != nullptr) {
          *Interface = Entry->Interface;
          return End(Index, EFI_SUCCESS);
        }
      }
      return End(Index, EFI_NOT_FOUND);
    }
    return End(Index, EFI_INVALID_PARAMETER);
  }
  std::vector<HandleRecord *> Ordered = OrderedHandlesWith(*Protocol);
  if (Ordered.empty()) {
    return End(Index, EFI_NOT_FOUND);
  }
  *Interface = FindProtocol(Ordered.front(), *Protocol)->Interface;
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::LocateDevicePath(EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                             EFI_HANDLE *Device) {
  size_t Index = Begin("LocateDevicePath", TplLimit::ProtocolHandler, Protocol ? GuidName(*Protocol) : "");
  EFI_STATUS Status;
  if (TakeFault("LocateDevicePath", &Status)) {
    return End(Index, Status);
  }
  if (Protocol == nullptr || DevicePath == nullptr || *DevicePath == nullptr || Device == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const size_t SourceSize = DevicePathSize(*DevicePath);
  if (SourceSize == 0) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  const size_t SourceBody = SourceSize - END_DEVICE_PATH_LENGTH;
  // The handle whose own path is the longest whole-node prefix of the path given.
  HandleRecord *Best = nullptr;
  size_t BestSize = 0;
  const EFI_GUID DevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  for (HandleRecord *Record : OrderedHandlesWith(*Protocol)) {
    ProtocolEntry *PathEntry = FindProtocol(Record, DevicePathGuid);
    if (PathEntry == nullptr) {
      continue;
    }
    const auto *HandlePath = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(PathEntry->Interface);
    const size_t HandleSize = DevicePathSize(HandlePath);
    if (HandleSize == 0) {
      continue;
    }
    const size_t HandleBody = HandleSize - END_DEVICE_PATH_LENGTH;
    if (HandleBody <= SourceBody && std::memcmp(HandlePath, *DevicePath, HandleBody) == 0 &&
        (Best == nullptr || HandleBody > BestSize)) {
      Best = Record;
      BestSize = HandleBody;
    }
  }
  if (Best == nullptr) {
    return End(Index, EFI_NOT_FOUND);
  }
  *Device = Best;
  *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<uint8_t *>(*DevicePath) + BestSize);
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::InstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  size_t Index = Begin("InstallConfigurationTable", TplLimit::ProtocolHandler, Guid ? GuidName(*Guid) : "");
  if (Guid == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  if (!OnConfigurationTable) {
    return End(Index, EFI_OUT_OF_RESOURCES);
  }
  return End(Index, OnConfigurationTable(*Guid, Table));
}

//
// Driver support, time and the rest.
//

EFI_STATUS BootServicesSim::ConnectController(EFI_HANDLE Controller, EFI_HANDLE *, EFI_DEVICE_PATH_PROTOCOL *Remaining,
                                              BOOLEAN) {
  size_t Index = Begin("ConnectController", TplLimit::DriverModel, HandleName(Controller));
  EFI_STATUS Status;
  if (TakeFault("ConnectController", &Status)) {
    return End(Index, Status);
  }
  if (FindHandle(Controller) == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  bool Started = false;
  for (SimDriver &Driver : Drivers_) {
    if (Driver.Supported && Driver.Supported(Controller, Remaining) && Driver.Start &&
        !EFI_ERROR(Driver.Start(Controller, Remaining))) {
      Started = true;
    }
  }
  if (Started) {
    return End(Index, EFI_SUCCESS);
  }
  // No driver started: still a success when the caller asked for no child
  // (RemainingDevicePath is an end node).
  if (Remaining != nullptr && Remaining->Type == END_DEVICE_PATH_TYPE &&
      Remaining->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
    return End(Index, EFI_SUCCESS);
  }
  return End(Index, EFI_NOT_FOUND);
}

EFI_STATUS BootServicesSim::Stall(UINTN Microseconds) {
  size_t Index = Begin("Stall", TplLimit::Any, std::to_string(Microseconds));
  TotalStallUs_ += Microseconds;
  End(Index, EFI_SUCCESS);
  Clock_.AdvanceUs(Microseconds);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::GetNextMonotonicCount(UINT64 *Count) {
  size_t Index = Begin("GetNextMonotonicCount", TplLimit::Any);
  if (Count == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  *Count = ++MonotonicCount_;
  return End(Index, EFI_SUCCESS);
}

EFI_STATUS BootServicesSim::CalculateCrc32(VOID *Data, UINTN DataSize, UINT32 *Crc32) {
  size_t Index = Begin("CalculateCrc32", TplLimit::Any);
  if (Data == nullptr || DataSize == 0 || Crc32 == nullptr) {
    return End(Index, EFI_INVALID_PARAMETER);
  }
  // CRC-32 of IEEE 802.3, reflected, as the UEFI tables use it.
  uint32_t Crc = 0xFFFFFFFFu;
  const auto *Bytes = static_cast<const uint8_t *>(Data);
  for (UINTN I = 0; I < DataSize; ++I) {
    Crc ^= Bytes[I];
    for (int Bit = 0; Bit < 8; ++Bit) {
      Crc = (Crc >> 1) ^ (0xEDB88320u & (0u - (Crc & 1u)));
    }
  }
  *Crc32 = ~Crc;
  return End(Index, EFI_SUCCESS);
}

void BootServicesSim::CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  size_t Index = Begin("CopyMem", TplLimit::Any, std::to_string(Length));
  std::memmove(Destination, Source, Length);
  End(Index, EFI_SUCCESS);
}

void BootServicesSim::SetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  size_t Index = Begin("SetMem", TplLimit::Any, std::to_string(Size));
  std::memset(Buffer, Value, Size);
  End(Index, EFI_SUCCESS);
}

}  // namespace Sim
